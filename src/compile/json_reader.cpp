#include "compile/json_reader.h"

#include <array>
#include <vector>

#include "compile/json_parser.h"
#include "format/key_order.h"

namespace vorn {

namespace {

// Builds a JsonTree. The finished children of the open containers wait on a scratch stack
// until their container closes and moves them, adjacent, into the tree.
class TreeBuilder {
 public:
  explicit TreeBuilder(size_t text_size) {
    tree_.nodes.reserve(text_size / 12 + 16);
    stack_.reserve(256);
  }

  void null_value() { push(JsonValue{}); }
  void bool_value(bool b) {
    JsonValue v;
    v.kind = JsonKind::Bool;
    v.boolean = b;
    push(v);
  }
  void number_value(NumberForm form, uint64_t bits) {
    JsonValue v;
    v.kind = JsonKind::Number;
    v.form = form;
    v.number.u64 = bits;
    push(v);
  }
  void string_value(std::string_view s) {
    JsonValue v;
    v.kind = JsonKind::String;
    v.text = s;
    push(v);
  }
  void key(std::string_view k) { frames_[depth_ - 1].key = k; }
  void begin_array() { open(false); }
  void begin_object() { open(true); }
  void end_array();
  void end_object();
  std::string& owned_string() { return tree_.owned.emplace_back(); }

  JsonTree finish() {
    tree_.root = static_cast<uint32_t>(tree_.nodes.size());
    tree_.nodes.push_back(stack_.back());
    return std::move(tree_);
  }

 private:
  struct Frame {
    uint32_t start;  // index in stack_ of the container's first child
    bool object;
    std::string_view key;  // object: the key of the member being read
  };

  void open(bool object) {
    frames_[depth_++] = Frame{static_cast<uint32_t>(stack_.size()), object, {}};
  }
  void push(JsonValue v) {
    if (depth_ > 0 && frames_[depth_ - 1].object) v.key = frames_[depth_ - 1].key;
    stack_.push_back(v);
  }

  JsonTree tree_;
  std::vector<JsonValue> stack_;
  std::vector<uint32_t> order_;  // scratch for sorting members
  std::array<Frame, MAX_JSON_NESTING> frames_{};
  size_t depth_ = 0;
};

void TreeBuilder::end_array() {
  const uint32_t start = frames_[--depth_].start;
  JsonValue v;
  v.kind = JsonKind::Array;
  v.first = static_cast<uint32_t>(tree_.nodes.size());
  v.count = static_cast<uint32_t>(stack_.size() - start);
  tree_.nodes.insert(tree_.nodes.end(), stack_.begin() + start, stack_.end());
  stack_.resize(start);
  push(v);
}

// Moves the members into the tree in ascending key order, keeping only the last member of each
// key.
void TreeBuilder::end_object() {
  const uint32_t start = frames_[--depth_].start;
  const JsonValue* m = stack_.data() + start;
  const auto n = static_cast<uint32_t>(stack_.size() - start);
  JsonValue v;
  v.kind = JsonKind::Object;
  v.first = static_cast<uint32_t>(tree_.nodes.size());
  // Already in order, as most objects are: no scratch at all.
  const auto compare_members = [](const JsonValue& a, const JsonValue& b) {
    return a.key.compare(b.key);
  };
  if (ascending_prefix(m, n, compare_members) == n) {
    tree_.nodes.insert(tree_.nodes.end(), stack_.begin() + start, stack_.end());
  } else {
    order_.resize(n);
    for (uint32_t k = 0; k < n; ++k) order_[k] = k;
    const size_t kept = order_keys<16>(
        order_.data(), n, [m](uint32_t a, uint32_t b) { return m[a].key.compare(m[b].key); });
    for (size_t k = 0; k < kept; ++k) tree_.nodes.push_back(m[order_[k]]);
  }
  v.count = static_cast<uint32_t>(tree_.nodes.size() - v.first);
  stack_.resize(start);
  push(v);
}

}  // namespace

Result<JsonTree> read_json(std::string_view text) {
  TreeBuilder builder(text.size());
  JsonParser<TreeBuilder> parser(text, builder);
  if (!parser.parse()) return FormatError{std::move(parser.error())};
  return builder.finish();
}

}  // namespace vorn

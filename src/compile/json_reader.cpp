#include "compile/json_reader.h"

#include <algorithm>
#include <vector>

#include "compile/json_parser.h"

namespace vorn {

namespace json_detail {

void append_utf8(std::string& out, uint32_t cp) {
  char b[4];
  size_t n;
  if (cp < 0x80) {
    b[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    b[0] = static_cast<char>(0xC0 | (cp >> 6));
    b[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    b[0] = static_cast<char>(0xE0 | (cp >> 12));
    b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    b[0] = static_cast<char>(0xF0 | (cp >> 18));
    b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(b, n);
}

bool literal_overflows(const char* p, const char* end) {
  if (*p == '-') ++p;
  int64_t lead = 0;  // digits before the point, counted from the first non-zero digit
  bool seen_nonzero = false;
  int64_t frac_zeros = 0;  // zeros after the point before the first non-zero digit
  for (; p < end && is_digit(*p); ++p) {
    if (*p != '0') seen_nonzero = true;
    if (seen_nonzero) ++lead;
  }
  if (p < end && *p == '.') {
    for (++p; p < end && is_digit(*p); ++p) {
      if (seen_nonzero) continue;
      if (*p != '0') {
        seen_nonzero = true;
      } else {
        ++frac_zeros;
      }
    }
  }
  int64_t exp = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool neg = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    for (; p < end && is_digit(*p); ++p) {
      if (exp < 1000000000) exp = exp * 10 + (*p - '0');
    }
    if (neg) exp = -exp;
  }
  const int64_t magnitude = lead > 0 ? lead + exp : exp - frac_zeros;
  return magnitude > 0;
}

std::string positioned_message(const char* begin, const char* end, const char* at,
                               const char* message) {
  const size_t len = static_cast<size_t>(end - begin);
  const size_t p = std::min(static_cast<size_t>(at - begin) + 1, len);
  const std::string_view head(begin, p);
  const size_t nl = head.rfind('\n');
  const size_t s = nl == std::string_view::npos ? 0 : nl + 1;
  const size_t line = 1 + static_cast<size_t>(std::count(begin, begin + s, '\n'));
  return std::string(message) + " at line " + std::to_string(line) + " column " +
         std::to_string(p - s);
}

}  // namespace json_detail

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
  uint32_t i = 1;
  while (i < n && m[i - 1].key < m[i].key) ++i;
  if (i >= n) {
    tree_.nodes.insert(tree_.nodes.end(), stack_.begin() + start, stack_.end());
  } else {
    order_.resize(n);
    for (uint32_t k = 0; k < n; ++k) order_[k] = k;
    // Equal keys stay in text order, so the last of a run is the one that wins.
    std::sort(order_.begin(), order_.end(), [m](uint32_t a, uint32_t b) {
      const int c = m[a].key.compare(m[b].key);
      return c < 0 || (c == 0 && a < b);
    });
    for (uint32_t k = 0; k < n; ++k) {
      if (k + 1 < n && m[order_[k]].key == m[order_[k + 1]].key) continue;
      tree_.nodes.push_back(m[order_[k]]);
    }
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

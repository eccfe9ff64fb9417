#include "compile/exact.h"

#include <string>

#include "format/json_text.h"
#include "format/narrowing.h"

namespace vorn {

namespace {

// The first changed number under `v`, whose path is `path`; `path` is restored on success.
Result<void, InexactValue> check_value(const JsonTree& tree, const JsonValue& v,
                                       bool in_mixed_array, std::string& path) {
  if (v.kind == JsonKind::Number) {
    if (reads_back_exactly(v, in_mixed_array)) return {};
    return inexact_value(path, v, in_mixed_array);
  }
  if (v.kind != JsonKind::Array && v.kind != JsonKind::Object) return {};
  const auto children = tree.children(v);
  const bool mixed = v.kind == JsonKind::Array && mixes_numbers(children);
  const size_t at = path.size();
  for (size_t i = 0; i < children.size(); ++i) {
    if (v.kind == JsonKind::Array) {
      append_path_index(path, i);
    } else {
      append_path_key(path, children[i].key);
    }
    if (auto s = check_value(tree, children[i], mixed, path); !s) return s;
    path.resize(at);
  }
  return {};
}

}  // namespace

InexactValue inexact_value(std::string_view path, const JsonValue& original, bool in_mixed_array) {
  std::string m(path);
  m += ": ";
  append_json_number(m, original);
  m += " would read back as ";
  append_json_number(m, narrowed_number(original, in_mixed_array));
  return InexactValue{FormatError{std::move(m)}};
}

Result<void, InexactValue> check_exact(const JsonTree& tree) {
  std::string path = "$";
  return check_value(tree, tree.root_value(), false, path);
}

template <class Index>
std::string tape_path(const Tape<Index>& tape, Index target) {
  const TapeKind* kinds = tape.nodes.kinds();
  const TapeSlot<Index>* slots = tape.nodes.slots();
  std::string path = "$";
  Index i = 0;
  while (i != target) {
    Index k = i + 1;
    const Shape<Index>* shape = kinds[i] == TapeKind::Object ? &tape.shapes[slots[i].a] : nullptr;
    for (Index m = 0;; ++m) {
      const Index next = tape.next(k);
      if (target < next) {
        if (shape == nullptr) {
          append_path_index(path, static_cast<size_t>(m));
        } else {
          append_path_key(path, tape.shape_members[shape->members + m].key);
        }
        break;
      }
      k = next;
    }
    i = k;
  }
  return path;
}

template std::string tape_path(const Tape<uint32_t>&, uint32_t);
template std::string tape_path(const Tape<uint64_t>&, uint64_t);

}  // namespace vorn

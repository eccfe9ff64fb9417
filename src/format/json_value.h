// The JSON value tree: made by the JSON reader from text and by the decompiler from a Document.
// The whole tree lives in one contiguous node array; the children of a container are adjacent,
// and an object's members are kept in ascending byte order of their keys, one per key.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

enum class JsonKind : uint8_t { Null, Bool, Number, String, Array, Object };

// unsigned: every integer >= 0 (u64); negative: integers < 0 (i64); float: a finite double.
enum class NumberForm : uint8_t { Unsigned, Negative, Float };

struct JsonValue {
  JsonKind kind = JsonKind::Null;
  NumberForm form = NumberForm::Unsigned;  // Number only
  bool boolean = false;                    // Bool only
  uint32_t first = 0;                      // Array, Object: index of the first child node
  uint32_t count = 0;                      // Array: items; Object: members
  union {
    uint64_t u64;
    int64_t i64;
    double f64;
  } number{0};
  std::string_view text;  // String: the UTF-8 bytes, owned by the input or by the tree
  std::string_view key;   // the member's key when this node is an object member
};

// Owns the nodes and every string that could not stay a view of its source (escaped text).
struct JsonTree {
  std::vector<JsonValue> nodes;
  std::deque<std::string> owned;  // a deque keeps the views into its strings valid
  uint32_t root = 0;

  const JsonValue& root_value() const { return nodes[root]; }
  // The items of an array or the members of an object, in order.
  std::span<const JsonValue> children(const JsonValue& v) const {
    return {nodes.data() + v.first, v.count};
  }
};

}  // namespace vorn

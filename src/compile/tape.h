// The tape: the compact form of a JSON text that the fused compiler walks. Sixteen bytes per
// value in pre-order, strings as views, and object layouts ("shapes") recognised once while
// reading, so that a walk neither sorts members nor rebuilds lookup keys for a layout it has
// seen. Free of Python.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "format/format.h"

namespace vorn {

enum class TapeKind : uint8_t {
  Null,
  True,
  False,
  Unsigned,
  Negative,
  Float,
  String,
  Array,
  Object
};

// One value. A container is followed by its contents in text order; an object's keys live in
// its shape, so its members are just their values' nodes.
struct TapeNode {
  TapeKind kind;
  // String: byte length (saturated at UINT32_MAX); Array: items; Object: its shape.
  uint32_t size;
  // Numbers: their u64, i64 or double bits. String: the address of the bytes. Array,
  // Object: the index past the container's last node in the low half; an object whose members
  // are not in key order (or repeat a key) has the position of its member list in Tape::orders
  // in the high half, NO_ORDER otherwise.
  uint64_t data;
};

inline constexpr uint32_t NO_ORDER = 0xFFFFFFFF;

// The members of an object in text order: their keys and the kinds of their values.
struct ShapeMember {
  std::string_view key;
  TypeTag kind;
};

struct Shape {
  uint32_t members;  // position of its text-order members in Tape::shape_members
  uint32_t count;    // members in text order
  uint32_t perm;     // position in Tape::perms of the text ordinals in key order, or NO_ORDER
  uint32_t unique;   // members once duplicate keys are dropped (the last one wins)
};

struct Tape {
  std::vector<TapeNode> nodes;
  // Per reordered object: the indices of its members' value nodes in ascending key order, the
  // last of duplicate keys only.
  std::vector<uint32_t> orders;
  std::vector<Shape> shapes;
  std::vector<ShapeMember> shape_members;
  std::vector<uint32_t> perms;
  std::deque<std::string> owned;  // unescaped strings; a deque never moves them
  size_t strings = 0;             // string values, to size the dict map

  // The index of the node after node i and everything inside it.
  uint32_t next(uint32_t i) const noexcept {
    const TapeKind k = nodes[i].kind;
    return k == TapeKind::Array || k == TapeKind::Object ? static_cast<uint32_t>(nodes[i].data)
                                                         : i + 1;
  }
};

// The TypeTag a node stands for, as json_kind gives it for the same value: a table lookup, and
// unsigned integers from 2^63 are UInt32.
constexpr TypeTag tape_tag(const TapeNode& n) noexcept {
  constexpr TypeTag TAGS[9] = {TypeTag::Null,   TypeTag::Bool,  TypeTag::Bool,
                               TypeTag::Int32,  TypeTag::Int32, TypeTag::Float32,
                               TypeTag::String, TypeTag::Array, TypeTag::Object};
  if (n.kind == TapeKind::Unsigned && n.data >> 63 != 0) return TypeTag::UInt32;
  return TAGS[static_cast<uint8_t>(n.kind)];
}

// Reads `text` (valid UTF-8, shorter than 2 GiB, outliving the tape) into `tape`. On failure
// returns false with the message read_json would give.
bool read_tape(std::string_view text, Tape& tape, std::string* error);

}  // namespace vorn

// The payload tree that emit builds from a Python value: one contiguous vector of nodes in
// pre-order, which is also the order in which the payload is written. Free of Python.
//
// A container is followed by its items, each item by its own subtree, so the items of the
// container at `i` are found by starting at i + 1 and stepping to `end` of each item. Strings are
// views: whoever fills the tree keeps their bytes alive for as long as the tree is used.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "format/format.h"

namespace vorn {

struct EmitNode {
  ValueKind kind = ValueKind::Null;  // Bool, Int32, Float32, String, Array or Object
  uint16_t def = 0;                  // a container's definition id; 0 until the builder has run
  uint32_t bits = 0;           // Bool 0 or 1, Int32 or Float32 bits; a container's item count; a
                               // string's byte length (held at UINT32_MAX when longer, which is far
                               // beyond what the encoder accepts)
  uint32_t end = 0;            // index one past this node's subtree
  const char* text = nullptr;  // a string's UTF-8 bytes
  uint64_t hash = 0;           // a string's hash: any function of its bytes alone

  std::string_view str() const noexcept { return {text, bits}; }
};

using EmitTree = std::vector<EmitNode>;

// Rounds a double to binary32, nearest and ties to even. Magnitudes from the midpoint between
// the largest float and 2^128 on become infinities (the tie goes to the even neighbour, which is
// 2^128); NaN stays NaN. The explicit test keeps the out-of-range conversion, which C++ leaves
// undefined, from ever being made.
inline float to_float32(double d) noexcept {
  constexpr double OVERFLOW_FROM = 0x1.ffffffp127;
  constexpr float INF = std::numeric_limits<float>::infinity();
  if (d >= OVERFLOW_FROM) return INF;
  if (d <= -OVERFLOW_FROM) return -INF;
  return static_cast<float>(d);
}

inline uint32_t float_bits(float f) noexcept { return std::bit_cast<uint32_t>(f); }

}  // namespace vorn

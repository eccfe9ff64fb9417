// The refusals of the reading side (the decoder and the decompiler) that a writer's own output
// could provoke. The writers test for them before they hand out an image, so that what they
// return always reads back; both sides build the messages here. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "format/format.h"
#include "format/result.h"

namespace vorn {

// "Definition count {count} exceeds max 2048": a table longer than the decoder reads.
inline FormatError definition_count_exceeded(size_t count) {
  return FormatError{"Definition count " + std::to_string(count) + " exceeds max " +
                     std::to_string(MAX_DEFINITIONS)};
}

// "Object #{id} has {count} fields (max {max})": the decoder says it with max 256, the encoder
// with max 65535.
inline FormatError object_field_count_exceeded(uint16_t id, size_t count, uint32_t max) {
  return FormatError{"Object #" + std::to_string(id) + " has " + std::to_string(count) +
                     " fields (max " + std::to_string(max) + ")"};
}

// Whether the float32 with these bits is infinite or NaN: its exponent bits are all set.
constexpr bool is_non_finite_float(uint32_t bits) noexcept {
  return (bits & 0x7F800000u) == 0x7F800000u;
}

// "Cannot represent float {value}" for a non-finite float32: {value} is "NaN" for any NaN,
// whatever its sign, else "inf" or "-inf". The same verdict as a test on the value widened to
// binary64, since widening keeps every value.
inline FormatError non_finite_float(uint32_t bits) {
  const char* name = (bits & 0x007FFFFFu) != 0 ? "NaN" : (bits >> 31) != 0 ? "-inf" : "inf";
  return FormatError{std::string("Cannot represent float ") + name};
}

}  // namespace vorn

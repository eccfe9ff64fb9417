// The narrowing rule: what a JSON number of the compiler's input reads back as from an image.
// The compiler narrows by it, its exactness check asks it, and the command's comparison of a
// text with its image explains changes by it: one rule for all. Free of Python.
//
// An integer keeps its low 32 bits: below 2^63 as an Int32 (read as two's complement), from
// 2^63 on as a UInt32. A float becomes the nearest float32 (ties to even; beyond the float range
// an infinity), which reads back widened to a double. In an array that mixes numbers of more
// than one of these kinds, every integer becomes the float32 nearest its exact value.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

#include "format/format.h"
#include "format/json_value.h"

namespace vorn {

// The TypeTag a number of the form and bits (u64, i64 or double) is stored under: Int32,
// UInt32 (unsigned integers from 2^63) or Float32.
constexpr TypeTag number_tag(NumberForm form, uint64_t bits) noexcept {
  if (form == NumberForm::Float) return TypeTag::Float32;
  return form == NumberForm::Unsigned && bits >> 63 != 0 ? TypeTag::UInt32 : TypeTag::Int32;
}

// The stored 32 bits of an integer: its low half.
constexpr uint32_t integer_bits(uint64_t bits) noexcept { return static_cast<uint32_t>(bits); }

// Whether an integer outside a mixed array reads back as itself: an Int32 holds it whole. A
// UInt32 never does (its integer is at least 2^63).
constexpr bool integer_reads_back(NumberForm form, uint64_t bits) noexcept {
  if (form == NumberForm::Unsigned) return bits <= 0x7FFFFFFF;
  return static_cast<int64_t>(bits) >= -0x80000000LL;
}

// The float32 an integer becomes in a mixed array, rounded from its exact value: a detour through
// double could round twice.
inline float integer_to_float(NumberForm form, uint64_t bits) noexcept {
  if (form == NumberForm::Negative) return static_cast<float>(static_cast<int64_t>(bits));
  return static_cast<float>(bits);
}

// Whether a double reads back as itself from `narrowed`, which is narrow_to_float(d): -0.0 does,
// and so does every double that is a float32.
inline bool float_reads_back(double d, float narrowed) noexcept {
  return static_cast<double>(narrowed) == d;
}
inline bool float_reads_back(double d) noexcept { return float_reads_back(d, narrow_to_float(d)); }

// The TypeTag of a JSON number (see number_tag).
inline TypeTag number_tag(const JsonValue& n) noexcept { return number_tag(n.form, n.number.u64); }

// Whether an array's items are all numbers and not all of one kind: its integers then read back
// as floats. (The compiler refuses other arrays whose items differ in kind.)
inline bool mixes_numbers(std::span<const JsonValue> items) noexcept {
  if (items.empty() || items[0].kind != JsonKind::Number) return false;
  const TypeTag first = number_tag(items[0]);
  bool mixed = false;
  for (const JsonValue& item : items) {
    if (item.kind != JsonKind::Number) return false;
    mixed |= number_tag(item) != first;
  }
  return mixed;
}

// The number that a JSON number reads back as from an image: an integer stays an integer
// (Int32 values as unsigned or negative, UInt32 ones as unsigned), a float is the float32
// widened; in a mixed array an integer becomes a float.
inline JsonValue narrowed_number(const JsonValue& n, bool in_mixed_array) noexcept {
  JsonValue out;
  out.kind = JsonKind::Number;
  out.key = n.key;
  if (n.form == NumberForm::Float || in_mixed_array) {
    const float f = n.form == NumberForm::Float ? narrow_to_float(n.number.f64)
                                                : integer_to_float(n.form, n.number.u64);
    out.form = NumberForm::Float;
    out.number.f64 = static_cast<double>(f);
    return out;
  }
  const uint32_t low = integer_bits(n.number.u64);
  const auto as_int = static_cast<int32_t>(low);
  if (number_tag(n) == TypeTag::UInt32 || as_int >= 0) {
    out.form = NumberForm::Unsigned;
    out.number.u64 = number_tag(n) == TypeTag::UInt32 ? low : static_cast<uint64_t>(as_int);
  } else {
    out.form = NumberForm::Negative;
    out.number.i64 = as_int;
  }
  return out;
}

// Whether a JSON number reads back as itself: the same form and the same value (-0.0 as -0.0).
inline bool reads_back_exactly(const JsonValue& n, bool in_mixed_array) noexcept {
  if (n.form == NumberForm::Float) return float_reads_back(n.number.f64);
  return !in_mixed_array && integer_reads_back(n.form, n.number.u64);
}

}  // namespace vorn

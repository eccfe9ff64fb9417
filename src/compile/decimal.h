// Decimal to double for the JSON reader: the exact decimal w * 10^q rounded to the nearest double
// (ties to even) without std::from_chars in the common cases. Free of Python.
#pragma once

#include <bit>
#include <cstdint>

#include "compile/pow5_table.h"

namespace vorn::json_detail {

__extension__ typedef unsigned __int128 uint128_for_decimal;

// Converts w * 10^q, w below 10^19, to the nearest double when the result is a normal double;
// returns false otherwise (zero excepted), leaving the literal to the slower general path.
// Small cases multiply or divide two exact doubles (one rounding); the others take the 128-bit
// product of w with a truncated power of five, which is always close enough to round correctly
// for at most nineteen digits (Eisel and Lemire).
inline bool decimal_to_double(uint64_t w, int64_t q, bool negative, double* out) noexcept {
  static constexpr double POW10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (w == 0) {
    *out = negative ? -0.0 : 0.0;
    return true;
  }
  if (q >= -22 && q <= 22 && w <= uint64_t{1} << 53) {
    double d = static_cast<double>(w);
    d = q < 0 ? d / POW10[-q] : d * POW10[q];
    *out = negative ? -d : d;
    return true;
  }
  if (q < POW5_SMALLEST || q > POW5_LARGEST) return false;
  const int lz = std::countl_zero(w);
  w <<= lz;
  const auto index = static_cast<size_t>(2 * (q - POW5_SMALLEST));
  const uint128_for_decimal first = static_cast<uint128_for_decimal>(w) * POW5_128[index];
  auto hi = static_cast<uint64_t>(first >> 64);
  auto lo = static_cast<uint64_t>(first);
  if ((hi & 0x1FF) == 0x1FF) {  // the low bits may carry into the ones that decide: refine
    const auto second =
        static_cast<uint64_t>((static_cast<uint128_for_decimal>(w) * POW5_128[index + 1]) >> 64);
    lo += second;
    if (second > lo) ++hi;
  }
  const int upperbit = static_cast<int>(hi >> 63);
  const int shift = upperbit + 9;
  uint64_t mantissa = hi >> shift;
  int64_t power2 = (((152170 + 65536) * q) >> 16) + 63 + upperbit - lz + 1023;
  if (power2 <= 0) return false;  // subnormal or zero
  // Exactly halfway between two doubles (possible only for small q): round to even.
  if (lo <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == hi) {
    mantissa &= ~uint64_t{1};
  }
  mantissa += mantissa & 1;
  mantissa >>= 1;
  if (mantissa >= uint64_t{2} << 52) {
    mantissa = uint64_t{1} << 52;
    ++power2;
  }
  mantissa &= ~(uint64_t{1} << 52);
  if (power2 >= 0x7FF) return false;  // beyond the double range
  const uint64_t bits =
      mantissa | static_cast<uint64_t>(power2) << 52 | static_cast<uint64_t>(negative) << 63;
  *out = std::bit_cast<double>(bits);
  return true;
}

}  // namespace vorn::json_detail

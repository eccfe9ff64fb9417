// UTF-8 validation for the decoder: every string of an image (field names, dict strings, inline
// strings) must be valid UTF-8 without overlong forms, surrogates or code points above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn {

// The outcome of checking one string. On a fault, `valid_up_to` counts the valid bytes before
// it and `error_len` is 1, 2 or 3 (the bytes of the bad sequence that are reported), or 0 when
// the string ends inside a sequence whose bytes so far were valid.
struct Utf8Check {
  bool ok = true;
  bool ascii = true;  // every byte below 0x80 (meaningful when ok)
  size_t valid_up_to = 0;
  uint32_t error_len = 0;
};

// Checks the multi-byte tail of a string from `start`; the out-of-line slow path of check_utf8.
Utf8Check check_utf8_from(const uint8_t* s, size_t n, size_t start) noexcept;

// The length of the leading run of ASCII bytes, rounded down to a multiple of 16 (SSE2, part
// of every x86-64) or 8.
inline size_t ascii_prefix(const uint8_t* s, size_t n) noexcept {
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    if (_mm_movemask_epi8(v) != 0) return i;
  }
#endif
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    if ((w & 0x8080808080808080ULL) != 0) return i;
  }
  return i;
}

// True when none of the n bytes, n at most 16, has its high bit set: two overlapping loads
// that stay inside the string, no loop.
inline bool is_short_ascii(const uint8_t* s, size_t n) noexcept {
  uint64_t acc;
  if (n >= 8) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, s, 8);
    std::memcpy(&b, s + n - 8, 8);
    acc = a | b;
  } else if (n >= 4) {
    uint32_t a;
    uint32_t b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    acc = a | b;
  } else if (n > 0) {
    acc = s[0] | s[n >> 1] | s[n - 1];
  } else {
    acc = 0;
  }
  return (acc & 0x8080808080808080ULL) == 0;
}

// True when none of the n bytes has its high bit set.
inline bool is_ascii(const uint8_t* s, size_t n) noexcept {
  if (n <= 16) return is_short_ascii(s, n);
  size_t i = ascii_prefix(s, n);
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    if ((w & 0x8080808080808080ULL) != 0) return false;
  }
  uint8_t acc = 0;
  for (; i < n; ++i) acc = static_cast<uint8_t>(acc | s[i]);
  return acc < 0x80;
}

// Validates n bytes. ASCII text is accepted sixteen or eight bytes at a time, and a short one
// at once.
inline Utf8Check check_utf8(const uint8_t* s, size_t n) noexcept {
  if (n <= 16) {
    if (is_short_ascii(s, n)) [[likely]] {
      return Utf8Check{};
    }
    return check_utf8_from(s, n, 0);
  }
  size_t i = ascii_prefix(s, n);
  for (; i < n; ++i) {
    if (s[i] >= 0x80) return check_utf8_from(s, n, i);
  }
  return Utf8Check{};
}

// The standard validation text of a fault: "invalid utf-8 sequence of {n} bytes from index {i}"
// or "incomplete utf-8 byte sequence from index {i}".
std::string utf8_error_text(const Utf8Check& check);

}  // namespace vorn

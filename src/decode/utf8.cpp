#include "decode/utf8.h"

namespace vorn {

namespace {

bool is_continuation(uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

Utf8Check check_utf8_from(const uint8_t* s, size_t n, size_t start) noexcept {
  Utf8Check out;
  size_t i = start;
  const auto fail = [&](uint32_t len) {
    out.ok = false;
    out.valid_up_to = i;
    out.error_len = len;
    return out;
  };
  while (i < n) {
    const uint8_t b = s[i];
    if (b < 0x80) {
      ++i;
      i += ascii_prefix(s + i, n - i);
      continue;
    }
    out.ascii = false;
    // Each sequence is checked byte by byte, so that a string cut short after valid bytes is
    // "incomplete" and a bad byte is reported with the length of what came before it.
    if (b >= 0xC2 && b <= 0xDF) {
      if (i + 1 >= n) return fail(0);
      if (!is_continuation(s[i + 1])) return fail(1);
      i += 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      if (i + 1 >= n) return fail(0);
      const uint8_t c = s[i + 1];
      const uint8_t lo = b == 0xE0 ? 0xA0 : 0x80;
      const uint8_t hi = b == 0xED ? 0x9F : 0xBF;
      if (c < lo || c > hi) return fail(1);
      if (i + 2 >= n) return fail(0);
      if (!is_continuation(s[i + 2])) return fail(2);
      i += 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      if (i + 1 >= n) return fail(0);
      const uint8_t c = s[i + 1];
      const uint8_t lo = b == 0xF0 ? 0x90 : 0x80;
      const uint8_t hi = b == 0xF4 ? 0x8F : 0xBF;
      if (c < lo || c > hi) return fail(1);
      if (i + 2 >= n) return fail(0);
      if (!is_continuation(s[i + 2])) return fail(2);
      if (i + 3 >= n) return fail(0);
      if (!is_continuation(s[i + 3])) return fail(3);
      i += 4;
    } else {
      return fail(1);
    }
  }
  return out;
}

std::string utf8_error_text(const Utf8Check& check) {
  if (check.error_len == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(check.valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(check.error_len) + " bytes from index " +
         std::to_string(check.valid_up_to);
}

}  // namespace vorn

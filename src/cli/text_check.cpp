#include "cli/text_check.h"

#include <cstdint>

#include "cli/common.h"

namespace vorn::cli {

namespace {

bool is_continuation(uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// The length of the valid sequence at `p` (n bytes remain), or 0 when it is not valid.
size_t sequence_length(const uint8_t* p, size_t n) noexcept {
  const uint8_t b = p[0];
  if (b < 0x80) return 1;
  size_t len;
  uint8_t lo = 0x80, hi = 0xBF;  // the range allowed for the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;  // overlong
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;  // overlong
    if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (n < len || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (!is_continuation(p[i])) return 0;
  return len;
}

}  // namespace

std::optional<size_t> find_invalid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const size_t len = sequence_length(p + i, n - i);
    if (len == 0) return i;
    i += len;
  }
  return std::nullopt;
}

std::string text_position(std::string_view text, size_t offset) {
  const size_t p = offset + 1 > text.size() ? text.size() : offset + 1;
  size_t line = 1, line_start = 0;
  for (size_t i = 0; i < p; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return cat({"line ", std::to_string(line), " column ", std::to_string(p - line_start)});
}

}  // namespace vorn::cli

#include "compile/json_parser.h"

#include <algorithm>

namespace vorn {

namespace json_detail {

void append_utf8(std::string& out, uint32_t cp) {
  char b[4];
  size_t n;
  if (cp < 0x80) {
    b[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    b[0] = static_cast<char>(0xC0 | (cp >> 6));
    b[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    b[0] = static_cast<char>(0xE0 | (cp >> 12));
    b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    b[0] = static_cast<char>(0xF0 | (cp >> 18));
    b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(b, n);
}

bool literal_overflows(const char* p, const char* end) {
  if (*p == '-') ++p;
  int64_t lead = 0;  // digits before the point, counted from the first non-zero digit
  bool seen_nonzero = false;
  int64_t frac_zeros = 0;  // zeros after the point before the first non-zero digit
  for (; p < end && is_digit(*p); ++p) {
    if (*p != '0') seen_nonzero = true;
    if (seen_nonzero) ++lead;
  }
  if (p < end && *p == '.') {
    for (++p; p < end && is_digit(*p); ++p) {
      if (seen_nonzero) continue;
      if (*p != '0') {
        seen_nonzero = true;
      } else {
        ++frac_zeros;
      }
    }
  }
  int64_t exp = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool neg = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    for (; p < end && is_digit(*p); ++p) {
      if (exp < 1000000000) exp = exp * 10 + (*p - '0');
    }
    if (neg) exp = -exp;
  }
  const int64_t magnitude = lead > 0 ? lead + exp : exp - frac_zeros;
  return magnitude > 0;
}

std::string positioned_message(const char* begin, const char* end, const char* at,
                               const char* message) {
  const size_t len = static_cast<size_t>(end - begin);
  const size_t p = std::min(static_cast<size_t>(at - begin) + 1, len);
  const std::string_view head(begin, p);
  const size_t nl = head.rfind('\n');
  const size_t s = nl == std::string_view::npos ? 0 : nl + 1;
  const size_t line = 1 + static_cast<size_t>(std::count(begin, begin + s, '\n'));
  return std::string(message) + " at line " + std::to_string(line) + " column " +
         std::to_string(p - s);
}

}  // namespace json_detail

}  // namespace vorn

// The JSON grammar, shared by the reader that builds a JsonTree and by the fused compiler that
// builds a tape: one parser, so both accept exactly the same texts with the same messages. The
// parser checks the grammar and converts numbers and escapes; a builder stores the values.
//
// A builder B provides:
//   void null_value(); void bool_value(bool); void number_value(NumberForm, uint64_t bits);
//   void string_value(std::string_view); void key(std::string_view);
//   void begin_array(); void end_array(); void begin_object(); void end_object();
//   std::string& owned_string();  // a new empty string that lives as long as the result
// Number bits are the u64, the i64 or the double of the form. Calls nest like the text; a key
// precedes each member value; nesting never exceeds MAX_JSON_NESTING.
#pragma once

#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "compile/decimal.h"
#include "compile/scan.h"
#include "format/json_value.h"

namespace vorn {

// At most this many arrays and objects may be open at once; opening one more fails.
inline constexpr size_t MAX_JSON_NESTING = 127;

namespace json_detail {

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// The value of eight ASCII digits read as one little-endian word.
inline uint64_t eight_digits_value(uint64_t v) noexcept {
  v -= 0x3030303030303030ull;
  v = v * 10 + (v >> 8);  // pairs of digits
  v = (((v & 0x000000FF000000FFull) * 0x000F424000000064ull) +
       (((v >> 16) & 0x000000FF000000FFull) * 0x0000271000000001ull)) >>
      32;
  return v;
}

// Appends the UTF-8 form of a code point (at most U+10FFFF, not a surrogate).
void append_utf8(std::string& out, uint32_t cp);

// Whether a literal that the double range cannot hold is too large (true) or too small (false).
bool literal_overflows(const char* p, const char* end);

// "{message} at line L column C" for an error found at the byte `at` of the text.
std::string positioned_message(const char* begin, const char* end, const char* at,
                               const char* message);

}  // namespace json_detail

template <class B>
class JsonParser {
 public:
  JsonParser(std::string_view text, B& builder)
      : begin_(text.data()), end_(text.data() + text.size()), b_(builder) {}

  // True when the whole text is one value; else false with error() set.
  bool parse();
  std::string& error() { return error_; }

 private:
  enum class Open : uint8_t { Array, Object };

  [[gnu::always_inline]] inline bool parse_string(const char*& p, std::string_view* out);
  bool parse_escaped(const char*& p, const char* start, std::string_view* out);
  bool parse_unicode(const char*& p, std::string& out);
  bool parse_hex4(const char*& p, uint32_t* out);
  bool parse_number(const char*& p);
  bool parse_word(const char*& p, std::string_view word);

  // Appends the digits from p on to *mantissa (wrapping beyond 19 of them); returns the end. Up
  // to eight digits at a time: the lowest byte of a word that is no digit is found exactly (a
  // carry or borrow only starts at such a byte), the digits before it are shifted to the top
  // and the freed low bytes filled with '0'.
  const char* read_digits(const char* p, uint64_t* mantissa) const noexcept {
    static constexpr uint64_t POW10[9] = {1,      10,      100,      1000,     10000,
                                          100000, 1000000, 10000000, 100000000};
    uint64_t m = *mantissa;
    if constexpr (std::endian::native == std::endian::little) {
      while (end_ - p >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        const uint64_t non_digits =
            ((v + 0x4646464646464646ull) | (v - 0x3030303030303030ull)) & 0x8080808080808080ull;
        if (non_digits == 0) {
          m = m * 100000000 + json_detail::eight_digits_value(v);
          p += 8;
          continue;
        }
        const int n = std::countr_zero(non_digits) >> 3;
        if (n != 0) {
          v = (v << (64 - 8 * n)) | (0x3030303030303030ull >> (8 * n));
          m = m * POW10[n] + json_detail::eight_digits_value(v);
          p += n;
        }
        *mantissa = m;
        return p;
      }
    }
    while (p < end_ && json_detail::is_digit(*p)) {
      m = m * 10 + static_cast<uint64_t>(*p - '0');
      ++p;
    }
    *mantissa = m;
    return p;
  }

  const char* skip_ws(const char* p) const noexcept {
    if (p != end_ && static_cast<unsigned char>(*p) > ' ') return p;  // compact text
    if (end_ - p >= 2 && *p == ' ' && static_cast<unsigned char>(p[1]) > ' ') return p + 1;
    return scan::ws_end_parser(p, end_, wide_);
  }

  // Records the error found at the byte `at`; always false.
  bool fail(const char* at, const char* message) {
    error_ = json_detail::positioned_message(begin_, end_, at, message);
    return false;
  }
  // Records an error found at the end of the text; always false.
  bool fail_end(const char* message) { return fail(end_, message); }

  const char* begin_;
  const char* end_;
  B& b_;
  const bool wide_ = scan::best_isa() == scan::Isa::Avx2;  // long runs through the AVX2 kernels
  std::array<Open, MAX_JSON_NESTING> open_;                // written before read
  size_t depth_ = 0;
  std::string error_;
};

// One pass without recursion: open_ holds the kinds of the open containers.
template <class B>
bool JsonParser<B>::parse() {
  using json_detail::is_digit;
  const char* p = begin_;
value:
  p = skip_ws(p);
  if (p == end_) return fail_end("EOF while parsing a value");
  switch (*p) {
    case '"': {
      std::string_view s;
      if (!parse_string(p, &s)) return false;
      b_.string_value(s);
      goto after_value;
    }
    case '{':
      if (depth_ == MAX_JSON_NESTING) return fail(p, "recursion limit exceeded");
      open_[depth_++] = Open::Object;
      b_.begin_object();
      p = skip_ws(p + 1);
      if (p == end_) return fail_end("EOF while parsing an object");
      if (*p == '}') {
        ++p;
        --depth_;
        b_.end_object();
        goto after_value;
      }
      if (*p != '"') return fail(p, "key must be a string");
      goto key;
    case '[':
      if (depth_ == MAX_JSON_NESTING) return fail(p, "recursion limit exceeded");
      open_[depth_++] = Open::Array;
      b_.begin_array();
      p = skip_ws(p + 1);
      if (p == end_) return fail_end("EOF while parsing a list");
      if (*p == ']') {
        ++p;
        --depth_;
        b_.end_array();
        goto after_value;
      }
      goto value;
    case 't':
      if (!parse_word(p, "true")) return false;
      b_.bool_value(true);
      goto after_value;
    case 'f':
      if (!parse_word(p, "false")) return false;
      b_.bool_value(false);
      goto after_value;
    case 'n':
      if (!parse_word(p, "null")) return false;
      b_.null_value();
      goto after_value;
    default:
      if (*p != '-' && !is_digit(*p)) return fail(p, "expected value");
      if (*p != '0' && *p != '-') {  // the common small non-negative integer, inline
        uint64_t mantissa = 0;
        const char* q = read_digits(p, &mantissa);
        if (q - p <= 19 && (q == end_ || (*q != '.' && *q != 'e' && *q != 'E'))) {
          b_.number_value(NumberForm::Unsigned, mantissa);
          p = q;
          goto after_value;
        }
      }
      if (!parse_number(p)) return false;
      goto after_value;
  }

key : {  // p is at the opening quote of a key
  std::string_view k;
  if (!parse_string(p, &k)) return false;
  b_.key(k);
  p = skip_ws(p);
  if (p == end_) return fail_end("EOF while parsing an object");
  if (*p != ':') return fail(p, "expected `:`");
  ++p;
  goto value;
}

after_value:
  p = skip_ws(p);
  if (depth_ == 0) {
    if (p != end_) return fail(p, "trailing characters");
    return true;
  }
  if (open_[depth_ - 1] == Open::Array) {
    if (p == end_) return fail_end("EOF while parsing a list");
    if (*p == ',') {
      p = skip_ws(p + 1);
      if (p == end_) return fail_end("EOF while parsing a value");
      if (*p == ']') return fail(p, "trailing comma");
      goto value;
    }
    if (*p != ']') return fail(p, "expected `,` or `]`");
    ++p;
    --depth_;
    b_.end_array();
    goto after_value;
  }
  if (p == end_) return fail_end("EOF while parsing an object");
  if (*p == ',') {
    p = skip_ws(p + 1);
    if (p == end_) return fail_end("EOF while parsing a value");
    if (*p == '}') return fail(p, "trailing comma");
    if (*p != '"') return fail(p, "key must be a string");
    goto key;
  }
  if (*p != '}') return fail(p, "expected `,` or `}`");
  ++p;
  --depth_;
  b_.end_object();
  goto after_value;
}

template <class B>
bool JsonParser<B>::parse_word(const char*& p, std::string_view word) {
  if (static_cast<size_t>(end_ - p) >= word.size() &&
      std::memcmp(p, word.data(), word.size()) == 0) {
    p += word.size();
    return true;
  }
  for (size_t i = 1; i < word.size(); ++i) {
    if (p + i == end_) return fail_end("EOF while parsing a value");
    if (p[i] != word[i]) return fail(p + i, "expected ident");
  }
  return fail(p, "expected ident");  // not reached: the comparison above would have matched
}

// p is at the opening quote; on success it is just past the closing one. A string without
// escapes stays a view of the text.
template <class B>
inline bool JsonParser<B>::parse_string(const char*& p, std::string_view* out) {
  const char* start = ++p;
  p = scan::string_end_parser(p, end_, wide_);
  if (p == end_) return fail_end("EOF while parsing a string");
  if (*p == '"') {
    *out = std::string_view(start, static_cast<size_t>(p - start));
    ++p;
    return true;
  }
  if (*p != '\\') {
    return fail(p, "control character (\\u0000-\\u001F) found while parsing a string");
  }
  return parse_escaped(p, start, out);
}

// p is at the first backslash of a string that began at `start`; the unescaped text goes into a
// string owned by the builder's result.
template <class B>
bool JsonParser<B>::parse_escaped(const char*& p, const char* start, std::string_view* out) {
  std::string& buf = b_.owned_string();
  buf.assign(start, static_cast<size_t>(p - start));
  for (;;) {
    ++p;  // the backslash
    if (p == end_) return fail_end("EOF while parsing a string");
    switch (*p++) {
      case '"':
        buf += '"';
        break;
      case '\\':
        buf += '\\';
        break;
      case '/':
        buf += '/';
        break;
      case 'b':
        buf += '\b';
        break;
      case 'f':
        buf += '\f';
        break;
      case 'n':
        buf += '\n';
        break;
      case 'r':
        buf += '\r';
        break;
      case 't':
        buf += '\t';
        break;
      case 'u':
        if (!parse_unicode(p, buf)) return false;
        break;
      default:
        return fail(p - 1, "invalid escape");
    }
    const char* seg = p;
    p = scan::string_end_parser(p, end_, wide_);
    if (p == end_) return fail_end("EOF while parsing a string");
    buf.append(seg, static_cast<size_t>(p - seg));
    if (*p == '"') {
      ++p;
      *out = buf;
      return true;
    }
    if (*p != '\\') {
      return fail(p, "control character (\\u0000-\\u001F) found while parsing a string");
    }
  }
}

// p is just after "\u"; a leading surrogate must be followed by the escape of a trailing one.
template <class B>
bool JsonParser<B>::parse_unicode(const char*& p, std::string& out) {
  uint32_t cp = 0;
  if (!parse_hex4(p, &cp)) return false;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(p - 1, "lone leading surrogate in hex escape");
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    for (const char expected : {'\\', 'u'}) {
      if (p == end_) return fail_end("EOF while parsing a string");
      if (*p != expected) return fail(p, "unexpected end of hex escape");
      ++p;
    }
    uint32_t low = 0;
    if (!parse_hex4(p, &low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail(p - 1, "lone leading surrogate in hex escape");
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  json_detail::append_utf8(out, cp);
  return true;
}

// Four hex digits; a fault among them is reported at the last of the four.
template <class B>
bool JsonParser<B>::parse_hex4(const char*& p, uint32_t* out) {
  if (end_ - p < 4) return fail_end("EOF while parsing a string");
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = p[i];
    uint32_t h;
    if (json_detail::is_digit(c)) {
      h = static_cast<uint32_t>(c - '0');
    } else if (const char l = static_cast<char>(c | 0x20); l >= 'a' && l <= 'f') {
      h = static_cast<uint32_t>(l - 'a' + 10);
    } else {
      return fail(p + 3, "invalid escape");
    }
    v = v << 4 | h;
  }
  p += 4;
  *out = v;
  return true;
}

// p is at a minus or a digit. Integers of up to 19 digits are read in one loop; other numbers
// of up to 19 significant digits are converted from their digits and exponent, and everything
// else through std::from_chars. Both conversions round correctly.
template <class B>
bool JsonParser<B>::parse_number(const char*& p) {
  using json_detail::is_digit;
  const char* const start = p;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (p == end_) return fail_end("invalid number");
  uint64_t mantissa = 0;  // the digits without the point, wrapping beyond 19 of them
  const char* const digits = p;
  if (*p == '0') {
    ++p;
    if (p < end_ && is_digit(*p)) return fail(p, "invalid number");
  } else if (is_digit(*p)) {
    p = read_digits(p, &mantissa);
  } else {
    return fail(p, "invalid number");
  }
  const auto int_digits = p - digits;
  int64_t significant = *digits == '0' ? 0 : int_digits;  // digits after leading zeros
  int64_t fraction = 0;
  bool is_float = false;
  if (p < end_ && *p == '.') {
    ++p;
    if (p == end_) return fail_end("invalid number");
    if (!is_digit(*p)) return fail(p, "invalid number");
    const char* const first = p;
    if (*digits == '0') {
      while (p < end_ && *p == '0') ++p;
    }
    const char* const nonzero = p;
    p = read_digits(p, &mantissa);
    fraction = p - first;
    significant += p - nonzero;
    is_float = true;
  }
  int64_t exponent = 0;
  if (p < end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative_exponent = false;
    if (p < end_ && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
    if (p == end_) return fail_end("invalid number");
    if (!is_digit(*p)) return fail(p, "invalid number");
    while (p < end_ && is_digit(*p)) {
      if (exponent < 100000000) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (negative_exponent) exponent = -exponent;
    is_float = true;
  }
  if (!is_float) {
    bool fits = int_digits <= 19;
    if (int_digits == 20) {  // may still fit below 2^64
      mantissa = 0;
      fits = true;
      for (const char* d = digits; d < p && fits; ++d) {
        fits = !__builtin_mul_overflow(mantissa, 10, &mantissa) &&
               !__builtin_add_overflow(mantissa, static_cast<uint64_t>(*d - '0'), &mantissa);
      }
    }
    if (fits && !negative) {
      b_.number_value(NumberForm::Unsigned, mantissa);
      return true;
    }
    if (fits && mantissa != 0 && mantissa <= (uint64_t{1} << 63)) {
      b_.number_value(NumberForm::Negative, 0 - mantissa);  // the i64 bits of -mantissa
      return true;
    }
    // -0 and integers beyond 64 bits are floats
  }
  double d = 0;
  if (significant > 19 ||
      !json_detail::decimal_to_double(mantissa, exponent - fraction, negative, &d)) {
    const auto r = std::from_chars(start, p, d);
    if (r.ec == std::errc::result_out_of_range) {
      if (json_detail::literal_overflows(start, p)) return fail(p - 1, "number out of range");
      d = negative ? -0.0 : 0.0;
    }
  }
  b_.number_value(NumberForm::Float, std::bit_cast<uint64_t>(d));
  return true;
}

}  // namespace vorn

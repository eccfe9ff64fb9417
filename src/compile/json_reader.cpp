#include "compile/json_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <string>
#include <system_error>

namespace vorn {

namespace {

constexpr uint64_t ONES = 0x0101010101010101ull;
constexpr uint64_t HIGHS = 0x8080808080808080ull;

// Bit 7 of a byte of the result is set for the first byte of `w` (in memory order, little
// endian) that is a quote, a backslash or below 0x20. A borrow can only set bits above a byte
// that really matches, so the lowest set bit is exact; higher ones may be spurious.
inline uint64_t special_bytes(uint64_t w) noexcept {
  const uint64_t q = w ^ (ONES * '"');
  const uint64_t b = w ^ (ONES * '\\');
  uint64_t t = (q - ONES) & ~q;
  t |= (b - ONES) & ~b;
  t |= (w - ONES * 0x20) & ~w;
  return t & HIGHS;
}

inline bool is_special(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == '"' || u == '\\';
}

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

inline bool is_ws(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

inline int hex_value(char c) noexcept {
  if (is_digit(c)) return c - '0';
  const char l = static_cast<char>(c | 0x20);
  if (l >= 'a' && l <= 'f') return l - 'a' + 10;
  return -1;
}

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

// Whether a literal that the double range cannot hold is too large (true) or too small (false):
// compares the decimal exponent of its leading significant digit with zero. The literal is
// well formed: an optional minus, digits, an optional fraction and an optional exponent.
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

enum class Open : uint8_t { Array, Object };

struct Frame {
  Open kind;
  uint32_t start;        // index in the scratch stack of the container's first child
  std::string_view key;  // Object: the key of the member being read
};

class Reader {
 public:
  explicit Reader(std::string_view text) : begin_(text.data()), end_(text.data() + text.size()) {}

  Result<JsonTree> run();

 private:
  bool parse();
  bool parse_string(const char*& p, std::string_view* out);
  bool parse_escaped(const char*& p, const char* start, std::string_view* out);
  bool parse_unicode(const char*& p, std::string& out);
  bool parse_hex4(const char*& p, uint32_t* out);
  bool parse_number(const char*& p, JsonValue* v);
  bool parse_word(const char*& p, std::string_view word);

  const char* skip_ws(const char* p) const noexcept {
    while (p < end_ && is_ws(*p)) ++p;
    return p;
  }
  // The first byte at or after p that is a quote, a backslash or a control byte, or end_.
  const char* scan(const char* p) const noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      while (end_ - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if (const uint64_t m = special_bytes(w); m != 0) return p + (std::countr_zero(m) >> 3);
        p += 8;
      }
    }
    while (p < end_ && !is_special(*p)) ++p;
    return p;
  }

  void push(JsonValue v) {
    if (depth_ > 0 && frames_[depth_ - 1].kind == Open::Object) v.key = frames_[depth_ - 1].key;
    stack_.push_back(v);
  }
  void close_array();
  void close_object();

  // Records the error found at the byte `at`; always false.
  bool fail(const char* at, const char* message);
  // Records an error found at the end of the text; always false.
  bool fail_end(const char* message) { return fail(end_, message); }

  const char* begin_;
  const char* end_;
  JsonTree tree_;
  std::vector<JsonValue> stack_;  // the finished children of the open containers
  std::vector<uint32_t> order_;   // scratch for sorting members
  std::array<Frame, MAX_JSON_NESTING> frames_{};
  size_t depth_ = 0;
  std::string error_;
};

bool Reader::fail(const char* at, const char* message) {
  const size_t len = static_cast<size_t>(end_ - begin_);
  const size_t p = std::min(static_cast<size_t>(at - begin_) + 1, len);
  const std::string_view head(begin_, p);
  const size_t nl = head.rfind('\n');
  const size_t s = nl == std::string_view::npos ? 0 : nl + 1;
  const size_t line = 1 + static_cast<size_t>(std::count(begin_, begin_ + s, '\n'));
  error_ = std::string(message) + " at line " + std::to_string(line) + " column " +
           std::to_string(p - s);
  return false;
}

Result<JsonTree> Reader::run() {
  const size_t len = static_cast<size_t>(end_ - begin_);
  tree_.nodes.reserve(len / 12 + 16);
  stack_.reserve(256);
  if (!parse()) return FormatError{std::move(error_)};
  tree_.root = static_cast<uint32_t>(tree_.nodes.size());
  tree_.nodes.push_back(stack_.back());
  return std::move(tree_);
}

// One pass without recursion: frames_ holds the open containers, and their finished children
// wait on stack_ until the container closes and moves them, adjacent, into the tree.
bool Reader::parse() {
  const char* p = begin_;
value:
  p = skip_ws(p);
  if (p == end_) return fail_end("EOF while parsing a value");
  switch (*p) {
    case '{':
    case '[': {
      if (depth_ == MAX_JSON_NESTING) return fail(p, "recursion limit exceeded");
      const bool is_object = *p == '{';
      frames_[depth_++] =
          Frame{is_object ? Open::Object : Open::Array, static_cast<uint32_t>(stack_.size()), {}};
      p = skip_ws(p + 1);
      if (is_object) {
        if (p == end_) return fail_end("EOF while parsing an object");
        if (*p == '}') {
          ++p;
          close_object();
          goto after_value;
        }
        if (*p != '"') return fail(p, "key must be a string");
        goto key;
      }
      if (p == end_) return fail_end("EOF while parsing a list");
      if (*p == ']') {
        ++p;
        close_array();
        goto after_value;
      }
      goto value;
    }
    case '"': {
      JsonValue v;
      v.kind = JsonKind::String;
      if (!parse_string(p, &v.text)) return false;
      push(v);
      goto after_value;
    }
    case 't':
    case 'f':
    case 'n': {
      JsonValue v;
      if (*p == 't') {
        if (!parse_word(p, "true")) return false;
        v.kind = JsonKind::Bool;
        v.boolean = true;
      } else if (*p == 'f') {
        if (!parse_word(p, "false")) return false;
        v.kind = JsonKind::Bool;
      } else if (!parse_word(p, "null")) {
        return false;
      }
      push(v);
      goto after_value;
    }
    default: {
      if (*p != '-' && !is_digit(*p)) return fail(p, "expected value");
      JsonValue v;
      v.kind = JsonKind::Number;
      if (!parse_number(p, &v)) return false;
      push(v);
      goto after_value;
    }
  }

key:  // p is at the opening quote of a key
  if (!parse_string(p, &frames_[depth_ - 1].key)) return false;
  p = skip_ws(p);
  if (p == end_) return fail_end("EOF while parsing an object");
  if (*p != ':') return fail(p, "expected `:`");
  ++p;
  goto value;

after_value:
  p = skip_ws(p);
  if (depth_ == 0) {
    if (p != end_) return fail(p, "trailing characters");
    return true;
  }
  if (frames_[depth_ - 1].kind == Open::Array) {
    if (p == end_) return fail_end("EOF while parsing a list");
    if (*p == ',') {
      p = skip_ws(p + 1);
      if (p == end_) return fail_end("EOF while parsing a value");
      if (*p == ']') return fail(p, "trailing comma");
      goto value;
    }
    if (*p != ']') return fail(p, "expected `,` or `]`");
    ++p;
    close_array();
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
  close_object();
  goto after_value;
}

void Reader::close_array() {
  const uint32_t start = frames_[--depth_].start;
  JsonValue v;
  v.kind = JsonKind::Array;
  v.first = static_cast<uint32_t>(tree_.nodes.size());
  v.count = static_cast<uint32_t>(stack_.size() - start);
  tree_.nodes.insert(tree_.nodes.end(), stack_.begin() + start, stack_.end());
  stack_.resize(start);
  push(v);
}

// Moves the members into the tree in ascending key order, keeping only the last member of each
// key.
void Reader::close_object() {
  const uint32_t start = frames_[--depth_].start;
  const JsonValue* m = stack_.data() + start;
  const auto n = static_cast<uint32_t>(stack_.size() - start);
  JsonValue v;
  v.kind = JsonKind::Object;
  v.first = static_cast<uint32_t>(tree_.nodes.size());
  uint32_t i = 1;
  while (i < n && m[i - 1].key < m[i].key) ++i;
  if (i >= n) {
    tree_.nodes.insert(tree_.nodes.end(), stack_.begin() + start, stack_.end());
  } else {
    order_.resize(n);
    for (uint32_t k = 0; k < n; ++k) order_[k] = k;
    // Equal keys stay in text order, so the last of a run is the one that wins.
    std::sort(order_.begin(), order_.end(), [m](uint32_t a, uint32_t b) {
      const int c = m[a].key.compare(m[b].key);
      return c < 0 || (c == 0 && a < b);
    });
    for (uint32_t k = 0; k < n; ++k) {
      if (k + 1 < n && m[order_[k]].key == m[order_[k + 1]].key) continue;
      tree_.nodes.push_back(m[order_[k]]);
    }
  }
  v.count = static_cast<uint32_t>(tree_.nodes.size() - v.first);
  stack_.resize(start);
  push(v);
}

bool Reader::parse_word(const char*& p, std::string_view word) {
  if (static_cast<size_t>(end_ - p) >= word.size() &&
      std::memcmp(p, word.data(), word.size()) == 0) {
    p += word.size();
    return true;
  }
  for (size_t i = 1; i < word.size(); ++i) {
    if (p + i == end_) return fail_end("EOF while parsing a value");
    if (p[i] != word[i]) return fail(p + i, "expected ident");
  }
  return true;  // not reached: the fast comparison above would have matched
}

// p is at the opening quote; on success it is just past the closing one. A string without
// escapes stays a view of the text.
bool Reader::parse_string(const char*& p, std::string_view* out) {
  const char* start = ++p;
  p = scan(p);
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
// string owned by the tree.
bool Reader::parse_escaped(const char*& p, const char* start, std::string_view* out) {
  std::string& buf = tree_.owned.emplace_back(start, static_cast<size_t>(p - start));
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
    p = scan(p);
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
bool Reader::parse_unicode(const char*& p, std::string& out) {
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
  append_utf8(out, cp);
  return true;
}

// Four hex digits; a fault among them is reported at the last of the four.
bool Reader::parse_hex4(const char*& p, uint32_t* out) {
  if (end_ - p < 4) return fail_end("EOF while parsing a string");
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const int h = hex_value(p[i]);
    if (h < 0) return fail(p + 3, "invalid escape");
    v = v << 4 | static_cast<uint32_t>(h);
  }
  p += 4;
  *out = v;
  return true;
}

// p is at a minus or a digit. Integers of up to 19 digits are read in one loop; everything else
// goes through a correctly rounded decimal conversion.
bool Reader::parse_number(const char*& p, JsonValue* v) {
  const char* const start = p;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (p == end_) return fail_end("invalid number");
  uint64_t mantissa = 0;
  const char* const digits = p;
  if (*p == '0') {
    ++p;
    if (p < end_ && is_digit(*p)) return fail(p, "invalid number");
  } else if (is_digit(*p)) {
    do {
      mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
      ++p;
    } while (p < end_ && is_digit(*p));
  } else {
    return fail(p, "invalid number");
  }
  const auto ndigits = p - digits;
  bool is_float = false;
  if (p < end_ && *p == '.') {
    ++p;
    if (p == end_) return fail_end("invalid number");
    if (!is_digit(*p)) return fail(p, "invalid number");
    while (p < end_ && is_digit(*p)) ++p;
    is_float = true;
  }
  if (p < end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end_ && (*p == '+' || *p == '-')) ++p;
    if (p == end_) return fail_end("invalid number");
    if (!is_digit(*p)) return fail(p, "invalid number");
    while (p < end_ && is_digit(*p)) ++p;
    is_float = true;
  }
  if (!is_float) {
    bool fits = ndigits <= 19;
    if (ndigits == 20) {  // may still fit below 2^64
      mantissa = 0;
      fits = true;
      for (const char* d = digits; d < p && fits; ++d) {
        fits = !__builtin_mul_overflow(mantissa, 10, &mantissa) &&
               !__builtin_add_overflow(mantissa, static_cast<uint64_t>(*d - '0'), &mantissa);
      }
    }
    if (fits && !negative) {
      v->form = NumberForm::Unsigned;
      v->number.u64 = mantissa;
      return true;
    }
    if (fits && mantissa != 0 && mantissa <= (uint64_t{1} << 63)) {
      v->form = NumberForm::Negative;
      v->number.i64 = static_cast<int64_t>(0 - mantissa);  // wraps to the negative value
      return true;
    }
    // -0 and integers beyond 64 bits are floats
  }
  double d = 0;
  const auto r = std::from_chars(start, p, d);
  if (r.ec == std::errc::result_out_of_range) {
    if (literal_overflows(start, p)) return fail(p - 1, "number out of range");
    d = negative ? -0.0 : 0.0;
  }
  v->form = NumberForm::Float;
  v->number.f64 = d;
  return true;
}

}  // namespace

Result<JsonTree> read_json(std::string_view text) { return Reader(text).run(); }

}  // namespace vorn

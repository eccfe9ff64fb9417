// JSON text of single values for messages and writers: string literals, numbers, and the paths
// that name a value inside a document. Free of Python.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "format/json_value.h"

namespace vorn {

// Appends `s` as a JSON string literal: quotes, escapes for '"', '\\' and bytes below 0x20
// (the short ones where JSON has them, \u00XX otherwise), every other byte as it is (the text is
// UTF-8 already).
inline void append_json_string(std::string& out, std::string_view s) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 0xF]};
        out.append(esc, sizeof esc);
      }
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

// Appends the shortest decimal text that reads back to `d`, always with a '.' or an exponent so
// that it reads back as a floating-point number ("1.0", "-0.0", "1e+20"). Infinities print as
// "inf" and "-inf", which JSON cannot hold.
inline void append_json_double(std::string& out, double d) {
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, d);
  const auto n = static_cast<size_t>(res.ptr - buf);
  out.append(buf, n);
  if (std::isfinite(d) && std::memchr(buf, '.', n) == nullptr &&
      std::memchr(buf, 'e', n) == nullptr) {
    out += ".0";  // "1" or "-0" would read back as integers
  }
}

// Appends a JSON number as its exact value: integers as integers, floats as append_json_double.
inline void append_json_number(std::string& out, const JsonValue& n) {
  if (n.form == NumberForm::Float) {
    append_json_double(out, n.number.f64);
    return;
  }
  char buf[24];
  const auto res = n.form == NumberForm::Unsigned
                       ? std::to_chars(buf, buf + sizeof buf, n.number.u64)
                       : std::to_chars(buf, buf + sizeof buf, n.number.i64);
  out.append(buf, res.ptr);
}

// Whether an object key is written after a dot in a path: an ASCII letter or underscore, then
// letters, digits and underscores.
constexpr bool is_path_identifier(std::string_view key) noexcept {
  if (key.empty()) return false;
  for (size_t i = 0; i < key.size(); ++i) {
    const char c = key[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && (i == 0 || c < '0' || c > '9')) return false;
  }
  return true;
}

// Appends the step to an object member in a path: ".key" for an identifier, ["key"] (a JSON
// string literal) for any other key. A path starts with "$", the root.
inline void append_path_key(std::string& path, std::string_view key) {
  if (is_path_identifier(key)) {
    path += '.';
    path.append(key);
    return;
  }
  path += '[';
  append_json_string(path, key);
  path += ']';
}

// Appends the step to an array item in a path: "[index]".
inline void append_path_index(std::string& path, size_t index) {
  path += '[';
  path += std::to_string(index);
  path += ']';
}

}  // namespace vorn

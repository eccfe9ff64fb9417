#include "cli/json_writer.h"

#include <charconv>
#include <cstring>
#include <system_error>

namespace vorn::cli {

namespace {

// Bytes that a JSON string literal cannot hold as they are.
bool needs_escape(unsigned char c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

void append_escape(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  static constexpr char HEX[] = "0123456789abcdef";
  const char esc[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 0xF]};
  out.append(esc, sizeof esc);
}

template <class T>
void append_integer(std::string& out, T value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
  out += '"';
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (!needs_escape(c)) continue;
    out.append(s.data() + run, i - run);
    append_escape(out, c);
    run = i + 1;
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

void append_json_double(std::string& out, double d) {
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, d);
  const size_t n = static_cast<size_t>(res.ptr - buf);
  out.append(buf, n);
  // "1" or "-0" would read back as integers.
  if (std::memchr(buf, '.', n) == nullptr && std::memchr(buf, 'e', n) == nullptr) out += ".0";
}

void JsonWriter::newline(size_t depth) {
  out_ += '\n';
  out_.append(depth * static_cast<size_t>(indent_), ' ');
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (has_items_.empty()) return;
  if (has_items_.back()) out_ += ',';
  has_items_.back() = true;
  if (indent_ >= 0) newline(has_items_.size());
}

void JsonWriter::open(char bracket) {
  before_value();
  out_ += bracket;
  has_items_.push_back(false);
}

void JsonWriter::close(char bracket) {
  const bool had_items = has_items_.back();
  has_items_.pop_back();
  if (had_items && indent_ >= 0) newline(has_items_.size());
  out_ += bracket;
}

void JsonWriter::key(std::string_view name) {
  before_value();
  append_json_string(out_, name);
  out_ += indent_ >= 0 ? ": " : ":";
  after_key_ = true;
}

void JsonWriter::null() {
  before_value();
  out_ += "null";
}

void JsonWriter::boolean(bool b) {
  before_value();
  out_ += b ? "true" : "false";
}

void JsonWriter::number(uint64_t u) {
  before_value();
  append_integer(out_, u);
}

void JsonWriter::number(int64_t i) {
  before_value();
  append_integer(out_, i);
}

void JsonWriter::number(double d) {
  before_value();
  append_json_double(out_, d);
}

void JsonWriter::string(std::string_view s) {
  before_value();
  append_json_string(out_, s);
}

void write_json_value(JsonWriter& w, const JsonTree& tree, const JsonValue& v) {
  switch (v.kind) {
    case JsonKind::Null:
      w.null();
      return;
    case JsonKind::Bool:
      w.boolean(v.boolean);
      return;
    case JsonKind::Number:
      if (v.form == NumberForm::Unsigned) {
        w.number(v.number.u64);
      } else if (v.form == NumberForm::Negative) {
        w.number(v.number.i64);
      } else {
        w.number(v.number.f64);
      }
      return;
    case JsonKind::String:
      w.string(v.text);
      return;
    case JsonKind::Array:
      w.begin_array();
      for (const JsonValue& item : tree.children(v)) write_json_value(w, tree, item);
      w.end_array();
      return;
    case JsonKind::Object:
      w.begin_object();
      for (const JsonValue& member : tree.children(v)) {
        w.key(member.key);
        write_json_value(w, tree, member);
      }
      w.end_object();
      return;
  }
}

}  // namespace vorn::cli

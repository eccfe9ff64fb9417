#include "cli/json_writer.h"

#include <charconv>
#include <system_error>

#include "format/json_text.h"

namespace vorn::cli {

namespace {

template <class T>
void append_integer(std::string& out, T value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

}  // namespace

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

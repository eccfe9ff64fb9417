#include "cli/compare.h"

#include <bit>
#include <string>

#include "cli/json_writer.h"

namespace vorn::cli {

namespace {

bool is_identifier(std::string_view key) {
  if (key.empty()) return false;
  for (size_t i = 0; i < key.size(); ++i) {
    const char c = key[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

// Appends the path step of an object member: ".name" for a key that is a plain identifier,
// "[\"...\"]" for any other. (Array items get "[i]".)
void append_key_step(std::string& path, std::string_view key) {
  if (is_identifier(key)) {
    path += '.';
    path += key;
    return;
  }
  path += '[';
  append_json_string(path, key);
  path += ']';
}

std::string number_text(const JsonValue& v) {
  std::string s;
  if (v.form == NumberForm::Unsigned) return std::to_string(v.number.u64);
  if (v.form == NumberForm::Negative) return std::to_string(v.number.i64);
  append_json_double(s, v.number.f64);
  return s;
}

// Same form and the same bits: -0.0 and 0.0 differ, as do 1 and 1.0.
bool same_number(const JsonValue& a, const JsonValue& b) {
  if (a.form != b.form) return false;
  if (a.form == NumberForm::Float) {
    return std::bit_cast<uint64_t>(a.number.f64) == std::bit_cast<uint64_t>(b.number.f64);
  }
  return a.number.u64 == b.number.u64;
}

class Walker {
 public:
  Walker(const JsonTree& a, const JsonTree& b) : a_(a), b_(b) {}

  Comparison run() {
    std::string path = "$";
    walk(a_.root_value(), b_.root_value(), path);
    return std::move(out_);
  }

 private:
  void mismatch(const std::string& path) {
    out_.mismatch = true;
    out_.mismatch_path = path;
  }

  void number(const JsonValue& a, const JsonValue& b, const std::string& path) {
    if (same_number(a, b)) return;
    ++out_.changed;
    if (out_.examples.size() < MAX_EXAMPLES) {
      out_.examples.push_back(Change{path, number_text(a), number_text(b)});
    }
  }

  // `path` is extended for the children and restored afterwards.
  void children(const JsonValue& a, const JsonValue& b, std::string& path) {
    const auto as = a_.children(a);
    const auto bs = b_.children(b);
    for (size_t i = 0; i < as.size() && !out_.mismatch; ++i) {
      const size_t mark = path.size();
      if (a.kind == JsonKind::Object) {
        append_key_step(path, as[i].key);
        if (as[i].key != bs[i].key) return mismatch(path);
      } else {
        path += '[';
        path += std::to_string(i);
        path += ']';
      }
      walk(as[i], bs[i], path);
      path.resize(mark);
    }
  }

  void walk(const JsonValue& a, const JsonValue& b, std::string& path) {
    if (a.kind != b.kind) return mismatch(path);
    switch (a.kind) {
      case JsonKind::Null:
        return;
      case JsonKind::Bool:
        if (a.boolean != b.boolean) mismatch(path);
        return;
      case JsonKind::Number:
        return number(a, b, path);
      case JsonKind::String:
        if (a.text != b.text) mismatch(path);
        return;
      case JsonKind::Array:
      case JsonKind::Object:
        if (a.count != b.count) return mismatch(path);
        return children(a, b, path);
    }
  }

  const JsonTree& a_;
  const JsonTree& b_;
  Comparison out_;
};

}  // namespace

Comparison compare_trees(const JsonTree& original, const JsonTree& restored) {
  return Walker(original, restored).run();
}

}  // namespace vorn::cli

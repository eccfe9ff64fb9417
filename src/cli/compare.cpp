#include "cli/compare.h"

#include <bit>
#include <string>

#include "format/json_text.h"
#include "format/narrowing.h"

namespace vorn::cli {

namespace {

std::string number_text(const JsonValue& v) {
  std::string s;
  append_json_number(s, v);
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
  Walker(const JsonTree& a, const JsonTree& b, Comparison& out) : a_(a), b_(b), out_(out) {}

  void run(const JsonValue& a, const JsonValue& b, std::string path) { walk(a, b, path, false); }

 private:
  void mismatch(const std::string& path) {
    out_.mismatch = true;
    out_.mismatch_path = path;
  }

  void number(const JsonValue& a, const JsonValue& b, const std::string& path, bool in_mixed) {
    if (same_number(a, b)) return;
    const JsonValue rule = narrowed_number(a, in_mixed);
    const bool by_rule = same_number(rule, b);
    uint64_t& count = by_rule ? out_.narrowed : out_.differs;
    std::vector<Change>& examples = by_rule ? out_.examples : out_.differences;
    ++count;
    if (examples.size() < MAX_EXAMPLES) {
      examples.push_back(Change{path, number_text(a), number_text(b), number_text(rule)});
    }
  }

  // `path` is extended for the children and restored afterwards.
  void children(const JsonValue& a, const JsonValue& b, std::string& path) {
    const auto as = a_.children(a);
    const auto bs = b_.children(b);
    const bool mixed = a.kind == JsonKind::Array && mixes_numbers(as);
    for (size_t i = 0; i < as.size() && !out_.mismatch; ++i) {
      const size_t mark = path.size();
      if (a.kind == JsonKind::Object) {
        append_path_key(path, as[i].key);
        if (as[i].key != bs[i].key) return mismatch(path);
      } else {
        append_path_index(path, i);
      }
      walk(as[i], bs[i], path, mixed);
      path.resize(mark);
    }
  }

  void walk(const JsonValue& a, const JsonValue& b, std::string& path, bool in_mixed) {
    if (a.kind != b.kind) return mismatch(path);
    switch (a.kind) {
      case JsonKind::Null:
        return;
      case JsonKind::Bool:
        if (a.boolean != b.boolean) mismatch(path);
        return;
      case JsonKind::Number:
        return number(a, b, path, in_mixed);
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
  Comparison& out_;
};

}  // namespace

void compare_values(const JsonTree& original, const JsonValue& a, const JsonTree& restored,
                    const JsonValue& b, const std::string& prefix, Comparison& out) {
  if (out.mismatch) return;
  Walker(original, restored, out).run(a, b, prefix);
}

}  // namespace vorn::cli

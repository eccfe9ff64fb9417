// vorn stats: what VORN makes of JSON files: sizes, ratio, counts, and whether each file comes
// back exactly, only after 32-bit narrowing, or not at all.

#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/compare.h"
#include "cli/json_writer.h"
#include "cli/pipeline.h"
#include "compile/compile.h"
#include "compile/compile_image.h"
#include "compile/json_reader.h"
#include "decode/decode.h"
#include "decompile/decompile.h"
#include "encode/encode.h"

namespace vorn::cli {

namespace {

constexpr std::string_view HELP = R"(usage: vorn stats IN.json... [--json]

For each JSON file: its size, its size without insignificant whitespace
(minified), the size of its VORN image and the ratio of the two, the number of
definitions and of dictionary strings, and whether the file round-trips:
exactly, or only after 32-bit narrowing (VORN keeps the low 32 bits of an
integer and rounds other numbers to single precision; a few changed values are
shown), or not at all, naming the step that refuses it and its message.

The exit status is 1 when a file cannot be read or does not round-trip; files
that change only by narrowing count as success.

options:
  --json       print the results as one JSON array, an object per file
  -h, --help   show this help
)";

// One file's figures. Stages after a refusal are left at zero.
struct FileStats {
  std::string path;
  uint64_t json_size = 0, minified_size = 0, vorn_size = 0;
  uint64_t definitions = 0, dict_strings = 0;
  std::string refused_by;  // the refusing step, or empty
  std::string error;       // its message
  Comparison comparison;

  bool ok() const { return refused_by.empty() && !comparison.mismatch; }
};

// The text's size without whitespace outside strings. The text is valid JSON.
uint64_t minified_size(std::string_view text) {
  uint64_t n = 0;
  bool in_string = false, escaped = false;
  for (const char c : text) {
    if (in_string) {
      ++n;
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
      ++n;
      in_string = c == '"';
    }
  }
  return n;
}

bool refuse(FileStats& s, std::string_view step, const FormatError& e) {
  s.refused_by = step;
  s.error = e.message;
  return false;
}

// Reads the text as a tree and compares the value that came back with it.
bool compare_with_text(std::string_view text, const JsonTree& restored, FileStats& s) {
  auto original = read_json(text);
  if (!original) return refuse(s, "JSON reader", original.error());
  s.comparison = compare_trees(*original, restored);
  return s.ok();
}

// The chain one step at a time, each on the result of the one before: compile, encode, decode,
// decompile. Run for a text that the fused path refuses, whose message does not say which step
// refused it; here the first step that refuses is named, and what the steps before it found is
// shown as they found it.
bool measure_stepwise(std::string_view text, FileStats& s) {
  auto doc = compile_json(text);
  if (!doc) return refuse(s, "compiler", doc.error());
  s.minified_size = minified_size(text);
  s.definitions = doc->definitions.size();
  s.dict_strings = doc->strings.size();
  auto image = encode_document(*doc);
  if (!image) return refuse(s, "encoder", image.error());
  s.vorn_size = image->size();
  auto decoded = decode_document(bytes_of(*image));
  if (!decoded) return refuse(s, "decoder", decoded.error());
  auto restored = decompile_document(*decoded);
  if (!restored) return refuse(s, "decompiler", restored.error());
  return compare_with_text(text, *restored, s);
}

// Runs the whole chain: the fused compiler from the text to the image, which it refuses unless
// the image reads back; the counts from the image's layout; one walk of the image back to values;
// the text read once more, as the tree to compare them with.
bool measure(std::string_view text, FileStats& s) {
  s.json_size = text.size();
  if (Status st = check_text(text); !st) return refuse(s, "compiler", st.error());
  auto image = compile_image(text);
  if (!image) return measure_stepwise(text, s);
  ImageLayout layout;
  if (!read_layout(bytes_of(*image), layout)) return measure_stepwise(text, s);
  s.minified_size = minified_size(text);
  s.vorn_size = image->size();
  s.definitions = layout.defs.size();
  s.dict_strings = layout.strings.size();
  auto restored = decompile_image(bytes_of(*image));  // views the image, which outlives it
  if (!restored) return measure_stepwise(text, s);
  return compare_with_text(text, *restored, s);
}

std::string ratio(uint64_t part, uint64_t whole) {
  if (whole == 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return buf;
}

std::string line(std::string_view label, std::string_view value) {
  std::string s = "  ";
  s += label;
  s.append(label.size() < 16 ? 16 - label.size() : 1, ' ');
  s += value;
  s += '\n';
  return s;
}

std::string round_trip_text(const FileStats& s) {
  const Comparison& c = s.comparison;
  if (c.mismatch)
    return line("round trip", cat({"lost: the value at ", c.mismatch_path, " differs"}));
  if (c.changed == 0) return line("round trip", "exact");
  std::string out =
      line("round trip", cat({"after 32-bit narrowing: ", std::to_string(c.changed),
                              c.changed == 1 ? " value changed" : " values changed"}));
  for (const Change& ch : c.examples) {
    out += cat({"    ", ch.path, ": ", ch.before, " -> ", ch.after, "\n"});
  }
  return out;
}

std::string text_report(const FileStats& s) {
  std::string out = s.path + "\n";
  out += line("JSON", byte_count(s.json_size));
  if (s.refused_by == "compiler") return out + line("refused", cat({"by the compiler: ", s.error}));
  out += line("minified JSON", byte_count(s.minified_size));
  if (s.refused_by == "encoder") return out + line("refused", cat({"by the encoder: ", s.error}));
  out += line("VORN", byte_count(s.vorn_size) + ", " + ratio(s.vorn_size, s.json_size) +
                          " of the JSON, " + ratio(s.vorn_size, s.minified_size) +
                          " of the minified JSON");
  out += line("definitions", std::to_string(s.definitions));
  out += line("dict strings", std::to_string(s.dict_strings));
  if (!s.refused_by.empty())
    return out + line("refused", cat({"by the ", s.refused_by, ": ", s.error}));
  return out + round_trip_text(s);
}

void json_report(JsonWriter& w, const FileStats& s) {
  w.begin_object();
  w.member("file", s.path);
  w.member("json_size", s.json_size);
  w.member("minified_size", s.minified_size);
  w.member("vorn_size", s.vorn_size);
  w.member("definitions", s.definitions);
  w.member("dict_strings", s.dict_strings);
  const Comparison& c = s.comparison;
  const char* verdict = !s.refused_by.empty() ? "refused"
                        : c.mismatch          ? "lost"
                        : c.changed != 0      ? "narrowed"
                                              : "exact";
  w.member("round_trip", verdict);
  if (!s.refused_by.empty()) {
    w.member("refused_by", s.refused_by);
    w.member("error", s.error);
  }
  if (c.mismatch) w.member("mismatch_path", c.mismatch_path);
  w.member("changed", c.changed);
  w.key("examples");
  w.begin_array();
  for (const Change& ch : c.examples) {
    w.begin_object();
    w.member("path", ch.path);
    w.member("before", ch.before);
    w.member("after", ch.after);
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

// The one-line reason why a file does not round-trip.
std::string failure(const FileStats& s) {
  if (!s.refused_by.empty()) return cat({"refused by the ", s.refused_by, ": ", s.error});
  return cat({"the value at ", s.comparison.mismatch_path, " does not come back"});
}

}  // namespace

int run_stats(const Args& args) {
  const ParsedArgs parsed = parse_args(args, {{"json", 0, false}});
  if (parsed.help) return print_help(HELP);
  if (parsed.error) return usage_error("stats", *parsed.error);
  if (parsed.positional.empty()) return usage_error("stats", "no input file given");
  const bool as_json = parsed.has("json");

  int status = STATUS_OK;
  bool first = true;
  JsonWriter w(2);
  w.begin_array();
  for (const std::string_view in : parsed.positional) {
    auto text = read_input(in);
    if (!text) {
      status = STATUS_DATA_ERROR;
      continue;
    }
    FileStats s;
    s.path = in;
    const bool ok = measure(text->view(), s);
    if (as_json) {
      json_report(w, s);
    } else if (!write_stdout(cat({first ? "" : "\n", text_report(s)}))) {
      return STATUS_DATA_ERROR;
    }
    first = false;
    if (!ok) {
      status = STATUS_DATA_ERROR;
      print_error(std::string(in) + ": " + failure(s));
    }
  }
  w.end_array();
  if (as_json && !write_stdout(w.text() + "\n")) return STATUS_DATA_ERROR;
  return status;
}

}  // namespace vorn::cli

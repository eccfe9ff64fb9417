// vorn stats: what VORN makes of JSON files: sizes, ratio, counts, and whether each file comes
// back exactly, only changed by the narrowing rule, or not at all.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "cli/batch.h"
#include "cli/commands.h"
#include "cli/compare.h"
#include "cli/json_writer.h"
#include "cli/pipeline.h"
#include "compile/compile.h"
#include "compile/compile_image.h"
#include "compile/json_lines.h"
#include "compile/json_reader.h"
#include "decode/decode.h"
#include "decompile/decompile.h"
#include "encode/encode.h"

namespace vorn::cli {

namespace {

constexpr std::string_view HELP =
    R"(usage: vorn stats [IN.json...] [--json] [--exact] [--lines] [-j N] [-q]

For each JSON file: its size, its size without insignificant whitespace
(minified), the size of its VORN image and the ratio of the two, the number of
definitions and of dictionary strings, and whether the file round-trips:
exactly, or changed only by the narrowing rule (VORN keeps the low 32 bits of
an integer and rounds other numbers to single precision; a few changed values
are shown), or not at all: refused, or read back differently from what the
narrowing rule gives (a fault of vorn, shown as "differs"). An input of '-' is
standard input; without any input file, standard input is read when it is not
a terminal.

A refused file is shown with the rule that refuses it in parentheses, then
the message, which names the value it is about by its JSON path where it is
about one value (with --lines, its line first); the JSON output gives them as
"rule" and "error". The rules:
  json    not JSON text: a syntax error or invalid UTF-8, with line and column
  writer  the writer's own: the items of an array are of one kind (numbers of
          any kind count as one), a JSON Lines text has at most 1048576
          lines, and with --exact every value reads back the same
  format  the limits of the format: 65535 items in an array, 65535 fields in
          an object, 65535 definitions, field names of 255 bytes, strings of
          16777215 bytes, an image below 4 GiB
  reader  what a reader loads, so that no image is written that would not
          load: 2048 definitions, 256 fields in an object, floats within the
          float32 range

The exit status is 1 when a file cannot be read or does not round-trip; files
that change only by narrowing count as success, unless --exact is given.

options:
  --json         print the results as one JSON array, an object per file
  --exact        refuse a file that changes by narrowing, naming the first value
  --lines        read JSON Lines: one image with one entry per line
  -j, --jobs N   measure N files at once (default: one per processor)
  -q, --quiet    no progress and no count of failed files
  -h, --help     show this help
)";

// One file's figures. Stages after a refusal are left at zero.
struct FileStats {
  std::string path;
  bool lines = false;
  uint64_t json_size = 0, minified_size = 0, vorn_size = 0;
  uint64_t definitions = 0, dict_strings = 0, entries = 0;
  std::string_view rule;  // the rule that refuses the file (see rule_name), or empty
  std::string error;      // its message, with the place of the value it is about
  Comparison comparison;

  bool refused() const { return !rule.empty(); }
  bool ok() const { return !refused() && !comparison.faulty(); }
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

// The rule behind the refusal of a step, as HELP lists them.
constexpr std::string_view RULE_JSON = "json";
constexpr std::string_view RULE_READER = "reader";

std::string_view rule_name(RefusingStep step) {
  switch (step) {
    case RefusingStep::JsonReader:
      return RULE_JSON;
    case RefusingStep::Compiler:
      return "writer";
    case RefusingStep::Encoder:
      return "format";
    case RefusingStep::Reader:
      return RULE_READER;
  }
  return "writer";
}

bool refuse(FileStats& s, std::string_view rule, std::string message) {
  s.rule = rule;
  s.error = std::move(message);
  return false;
}

// The figures the steps before a refusal found, each step on the result of the one before:
// compile, encode. Run for a single text that the fused path refuses, which does not keep them.
void stepwise_figures(std::string_view text, FileStats& s) {
  auto doc = compile_json(text);
  if (!doc) return;
  s.minified_size = minified_size(text);
  s.definitions = doc->definitions.size();
  s.dict_strings = doc->strings.size();
  auto image = encode_document(*doc);
  if (image) s.vorn_size = image->size();
}

// Compares each value of the text with the entry that came back for it.
bool compare_with_text(std::string_view text, const JsonTree& restored, FileStats& s) {
  const JsonValue& root = restored.root_value();
  if (!s.lines) {
    auto original = read_json(text);
    if (!original) return refuse(s, RULE_JSON, original.error().message);
    compare_values(*original, original->root_value(), restored, root, "$", s.comparison);
    return s.ok();
  }
  JsonLines lines(text);
  JsonLine line;
  size_t entry = 0;
  while (lines.next(&line) && !s.comparison.mismatch) {
    auto original = read_json(line.text);
    if (!original) {
      return refuse(s, RULE_JSON,
                    cat({"line ", std::to_string(line.number), ": ", original.error().message}));
    }
    const JsonValue& back = s.entries == 1 ? root : restored.children(root)[entry];
    compare_values(*original, original->root_value(), restored, back,
                   cat({"line ", std::to_string(line.number), ": $"}), s.comparison);
    ++entry;
  }
  return s.ok();
}

// Runs the whole chain: the fused compiler from the text to the image, which it refuses unless
// the image reads back (and, with --exact, reads back the same); the counts from the image's
// layout; one walk of the image back to values; the text read once more, as the values to
// compare them with.
bool measure(std::string_view text, const EncodeOptions& options, FileStats& s) {
  s.json_size = text.size();
  text = skip_bom(text);
  auto parts = compile_text(text, options);
  if (!parts) {
    const CompileError& e = parts.error();
    if (!options.lines && e.step != RefusingStep::JsonReader) stepwise_figures(text, s);
    return refuse(s, rule_name(e.step), refusal_message(text, options, e, s.path));
  }
  const ByteBuffer image = join_image(std::move(*parts));
  ImageLayout layout;
  if (Status st = read_layout(bytes_of(image), layout); !st) {
    return refuse(s, RULE_READER, st.error().message);
  }
  s.minified_size = minified_size(text);
  if (options.lines) s.minified_size += layout.entry_count;  // a line break after each value
  s.vorn_size = image.size();
  s.definitions = layout.defs.size();
  s.dict_strings = layout.strings.size();
  s.entries = layout.entry_count;
  auto restored = decompile_image(bytes_of(image));  // views the image, which outlives it
  if (!restored) return refuse(s, RULE_READER, restored.error().message);
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

std::string values(uint64_t n) { return group_digits(n) + (n == 1 ? " value" : " values"); }

std::string round_trip_text(const FileStats& s) {
  const Comparison& c = s.comparison;
  std::string out;
  if (c.mismatch) {
    out =
        line("round trip", cat({"differs: the value at ", c.mismatch_path, " does not come back"}));
  } else if (c.differs != 0) {
    out = line("round trip",
               cat({"differs: ", values(c.differs), " not changed as the narrowing rule says"}));
  } else if (c.narrowed == 0) {
    return line("round trip", "exact");
  } else {
    out = line("round trip", cat({"after 32-bit narrowing: ", values(c.narrowed), " changed"}));
  }
  for (const Change& ch : c.differences) {
    out += cat({"    ", ch.path, ": ", ch.before, " -> ", ch.after, " (differs: narrowing gives ",
                ch.narrowed, ")\n"});
  }
  for (const Change& ch : c.examples) {
    out += cat({"    ", ch.path, ": ", ch.before, " -> ", ch.after, "\n"});
  }
  return out;
}

std::string text_report(const FileStats& s) {
  std::string out = s.path + "\n";
  out += line("JSON", byte_count(s.json_size));
  const std::string refusal = cat({"(", s.rule, ") ", s.error});
  if (s.minified_size == 0 && s.refused()) return out + line("refused", refusal);
  out += line("minified JSON", byte_count(s.minified_size));
  if (s.vorn_size != 0) {
    out += line("VORN", byte_count(s.vorn_size) + ", " + ratio(s.vorn_size, s.json_size) +
                            " of the JSON, " + ratio(s.vorn_size, s.minified_size) +
                            " of the minified JSON");
  }
  if (s.lines && !s.refused()) out += line("entries", group_digits(s.entries));
  out += line("definitions", group_digits(s.definitions));
  out += line("dict strings", group_digits(s.dict_strings));
  if (s.refused()) return out + line("refused", refusal);
  return out + round_trip_text(s);
}

void json_changes(JsonWriter& w, std::string_view key, const std::vector<Change>& changes,
                  bool with_rule) {
  w.key(key);
  w.begin_array();
  for (const Change& ch : changes) {
    w.begin_object();
    w.member("path", ch.path);
    w.member("before", ch.before);
    w.member("after", ch.after);
    if (with_rule) w.member("narrowed", ch.narrowed);
    w.end_object();
  }
  w.end_array();
}

// The file's object as an item of the top-level array: indented one level.
std::string json_report(const FileStats& s) {
  JsonWriter w(2);
  w.begin_object();
  w.member("file", s.path);
  w.member("json_size", s.json_size);
  w.member("minified_size", s.minified_size);
  w.member("vorn_size", s.vorn_size);
  w.member("definitions", s.definitions);
  w.member("dict_strings", s.dict_strings);
  if (s.lines) w.member("entries", s.entries);
  const Comparison& c = s.comparison;
  const char* verdict = s.refused()       ? "refused"
                        : c.faulty()      ? "differs"
                        : c.narrowed != 0 ? "narrowed"
                                          : "exact";
  w.member("round_trip", verdict);
  if (s.refused()) {
    w.member("rule", s.rule);
    w.member("error", s.error);
  }
  if (c.mismatch) w.member("mismatch_path", c.mismatch_path);
  w.member("changed", c.narrowed);
  json_changes(w, "examples", c.examples, false);
  w.member("differs", c.differs);
  json_changes(w, "differences", c.differences, true);
  w.end_object();
  std::string item;
  item.reserve(w.text().size() + 64);
  for (const char ch : w.text()) {
    item += ch;
    if (ch == '\n') item += "  ";  // a JSON string holds no raw line break
  }
  return item;
}

// The one-line reason why a file does not round-trip.
std::string failure(const FileStats& s) {
  const Comparison& c = s.comparison;
  if (s.refused()) return cat({"refused (", s.rule, "): ", s.error});
  if (c.mismatch) return cat({"the value at ", c.mismatch_path, " does not come back"});
  const Change& ch = c.differences.front();
  return cat({ch.path, ": ", ch.before, " came back as ", ch.after, " where narrowing gives ",
              ch.narrowed});
}

struct StatsJob {
  const Args& inputs;
  EncodeOptions options;
  bool as_json = false;

  void operator()(size_t i, Report& report, uint64_t& bytes) const {
    const std::string_view in = inputs[i];
    auto text = read_input(in);
    if (!text) return report.error(text.error().message);
    bytes += text->size();
    FileStats s;
    s.path = display_name(in);
    s.lines = options.lines;
    const bool ok = measure(text->view(), options, s);
    report.out = as_json ? json_report(s) : text_report(s);
    if (!ok) report.error(cat({s.path, ": ", failure(s)}));
  }
};

}  // namespace

int run_stats(const Args& args) {
  const ParsedArgs parsed = parse_args(args, {OPT_JSON, OPT_EXACT, OPT_LINES, OPT_JOBS, OPT_QUIET});
  if (parsed.help) return print_help(HELP);
  if (parsed.error) return usage_error("stats", *parsed.error);
  const Jobs jobs = parse_jobs(parsed);
  if (jobs.error) return usage_error("stats", *jobs.error);
  Args inputs = parsed.positional;
  if (inputs.empty()) {
    if (is_terminal(STDIN_FILENO)) return usage_error("stats", "no input file given");
    inputs.push_back(STD_STREAM);
  }
  if (std::count(inputs.begin(), inputs.end(), STD_STREAM) > 1) {
    return usage_error("stats", "standard input ('-') can be read only once");
  }
  const bool as_json = parsed.has("json");
  const bool quiet = parsed.has("quiet");

  // The reports one after the other: text ones apart by an empty line, JSON ones as the items
  // of one array.
  size_t printed = 0;
  const auto emit = [&](size_t, std::string_view out) {
    const std::string_view before =
        printed == 0 ? (as_json ? "[\n  " : "") : (as_json ? ",\n  " : "\n");
    ++printed;
    return print_out(cat({before, out}));
  };
  const StatsJob job{inputs, {parsed.has("exact"), parsed.has("lines")}, as_json};
  const BatchOutcome outcome = run_batch(
      inputs, {jobs.count, inputs.size() > 1 && !quiet && is_terminal(STDERR_FILENO)}, job, emit);
  if (as_json && !outcome.stopped && !print_out(printed == 0 ? "[]\n" : "\n]\n")) {
    return STATUS_DATA_ERROR;
  }
  return batch_status(outcome, inputs.size(), quiet);
}

}  // namespace vorn::cli

// vorn decode: VORN images back to JSON text, straight from the values read from them.

#include <unistd.h>

#include <string>

#include "cli/batch.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/output.h"
#include "cli/pipeline.h"
#include "decode/decode.h"
#include "decompile/decompile.h"
#include "io/file_io.h"

namespace vorn::cli {

namespace {

constexpr std::string_view HELP =
    R"(usage: vorn decode [IN.vorn...] [-o OUT] [-f] [--indent N] [--lines] [-j N] [-q]

Decodes each VORN image and writes its value as JSON text, on standard output
(several images one after the other) or into files. Object keys come in the
order the image gives them (ascending bytes), integers are written as integers
and floating-point numbers as the shortest text that reads back to the same
double. An image with several entries gives an array of their values (with
--lines, one line per entry), one without entries gives null.

An input of '-' is standard input; without any input file, standard input is
read when it is not a terminal. With one input, -o names the output file ('-'
is standard output); a name that ends with '/', or that is an existing
directory, names a directory to write IN.json (with --lines IN.jsonl) into,
created when it does not exist. With several inputs, -o names such a directory. An existing output file
is not replaced without -f; an output that is the input file is refused.

options:
  -o, --output OUT   write to this file, directory (OUT/) or '-' instead of
                     standard output
  -f, --force        replace existing output files
  --indent N         break lines and indent nested values by N spaces (0 to 16);
                     without it the text is compact, on one line
  --lines            JSON Lines: one compact JSON text per entry, each on its own
                     line (an image of one entry gives one line)
  -j, --jobs N       decode N files at once (default: one per processor)
  -q, --quiet        no progress and no count of failed files
  -h, --help         show this help
)";

constexpr unsigned MAX_INDENT = 16;

// The image's value as JSON text, ended by a line break; with `lines`, one compact line per
// entry.
Result<std::string> image_to_json(const ByteBuffer& image, int indent, bool lines) {
  auto tree = decompile_image(bytes_of(image));  // views the image, which outlives it
  if (!tree) return tree.error();
  JsonWriter w(indent);
  w.reserve(image.size() * 2);
  const JsonValue& root = tree->root_value();
  if (!lines) {
    write_json_value(w, *tree, root);
    w.text() += '\n';
    return std::move(w.text());
  }
  // The entry count tells an image of several entries (whose root is the array of them) from
  // an image of one entry that is an array.
  ImageLayout layout;
  if (Status st = read_layout(bytes_of(image), layout); !st) return st.error();
  if (layout.entry_count == 1) {
    write_json_value(w, *tree, root);
    w.text() += '\n';
  } else if (layout.entry_count > 1) {
    for (const JsonValue& entry : tree->children(root)) {
      write_json_value(w, *tree, entry);
      w.text() += '\n';
    }
  }
  return std::move(w.text());
}

constexpr std::string_view VORN_ENDINGS[] = {".vorn"};

struct DecodeJob {
  const Args& inputs;
  const OutputPlan& plan;
  int indent = -1;
  bool lines = false;
  bool force = false;

  void operator()(size_t i, Report& report, uint64_t& bytes) const {
    const std::string_view in = inputs[i];
    const std::string& target = plan.targets[i];
    if (Status st = check_target(in, target, force); !st) return report.error(st.error().message);
    std::string json;
    {
      auto image = read_input(in);
      if (!image) return report.error(image.error().message);
      bytes += image->size();
      auto decoded = image_to_json(*image, indent, lines);
      if (!decoded) {
        if (starts_like_json(image->view())) {
          return report.error(cat({display_name(in),
                                   ": not a VORN image: it starts like JSON text; did you mean "
                                   "vorn encode?"}));
        }
        return report.error(cat({display_name(in), ": ", decoded.error().message}));
      }
      json = std::move(*decoded);
    }  // the image is freed before the text is written
    if (target == STD_STREAM) {
      report.out = std::move(json);
      return;
    }
    auto written = write_image_file(target, json);
    if (auto* err = std::get_if<IoError>(&written)) {
      report.error(cat({target, ": ", err->message()}));
    }
  }
};

}  // namespace

int run_decode(const Args& args) {
  const ParsedArgs parsed = parse_args(
      args, {OPT_OUTPUT, OPT_FORCE, OPT_QUIET, OPT_JOBS, OPT_LINES, {"indent", 0, true}});
  if (parsed.help) return print_help(HELP);
  if (parsed.error) return usage_error("decode", *parsed.error);
  const Jobs jobs = parse_jobs(parsed);
  if (jobs.error) return usage_error("decode", *jobs.error);
  int indent = -1;
  if (const auto text = parsed.value("indent")) {
    const auto n = parse_count(*text, MAX_INDENT);
    if (!n) return usage_error("decode", "--indent takes a number from 0 to 16");
    indent = static_cast<int>(*n);
  }
  const bool lines = parsed.has("lines");
  if (lines && indent >= 0) {
    return usage_error("decode", "--lines writes one line per entry and takes no --indent");
  }
  Args inputs = parsed.positional;
  if (inputs.empty()) {
    if (is_terminal(STDIN_FILENO)) return usage_error("decode", "no input file given");
    inputs.push_back(STD_STREAM);
  }
  const OutputPlan plan =
      plan_outputs(inputs, parsed.value("output"),
                   {VORN_ENDINGS, lines ? ".jsonl" : ".json", /*default_stdout=*/true});
  if (plan.error) return usage_error("decode", *plan.error);
  if (!make_output_dir(plan)) return STATUS_DATA_ERROR;

  const bool quiet = parsed.has("quiet");
  const DecodeJob job{inputs, plan, indent, lines, parsed.has("force")};
  const BatchOutcome outcome =
      run_batch(inputs, {jobs.count, inputs.size() > 1 && !quiet && is_terminal(STDERR_FILENO)},
                job, print_out);
  return batch_status(outcome, inputs.size(), quiet);
}

}  // namespace vorn::cli

// vorn encode: JSON files to VORN images.

#include <unistd.h>

#include <string>

#include "cli/batch.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "cli/pipeline.h"
#include "io/file_io.h"

namespace vorn::cli {

namespace {

constexpr std::string_view HELP =
    R"(usage: vorn encode [IN.json...] [-o OUT] [-f] [--exact] [--lines] [-j N] [-q]

Compiles each JSON file to a VORN image. A JSON text may begin with a UTF-8
byte order mark, which is skipped.

Without -o, IN.json is written to IN.vorn beside it (IN.jsonl and IN.ndjson
too; any other name gets .vorn added). With one input, -o names the output file; a name that
ends with '/', or that is an existing directory, names a directory to write
IN.vorn into, created when it does not exist. With several inputs, -o names
such a directory. '-o -' writes the image to standard output.

An input of '-' is standard input; without any input file, standard input is
read when it is not a terminal. Its image goes to standard output unless -o
names a file. An image is never written to a terminal.

An existing output file is not replaced without -f; with -f it is replaced
whole or not at all. An output that is the input file itself is refused.

A file that cannot be read or compiled is named on standard error with its
error, and the others are still encoded; the exit status is then 1. With
several inputs, progress is shown on standard error when it is a terminal.

options:
  -o, --output OUT   the output file, directory (OUT/) or '-'
  -f, --force        replace existing output files
  --exact            refuse a document that would not read back as the same
                     value (an integer beyond 32 bits, a float that single
                     precision does not hold, an integer in an array of floats),
                     naming the first such value
  --lines            read JSON Lines: one JSON text per line, all of them into
                     one image with one entry per line that is not blank
  -j, --jobs N       encode N files at once (default: one per processor)
  -q, --quiet        no progress and no count of failed files
  -h, --help         show this help
)";

constexpr std::string_view JSON_ENDINGS[] = {".json", ".jsonl", ".ndjson"};

struct EncodeJob {
  const Args& inputs;
  const OutputPlan& plan;
  EncodeOptions options;
  bool force = false;

  void operator()(size_t i, Report& report, uint64_t& bytes) const {
    const std::string_view in = inputs[i];
    const std::string& target = plan.targets[i];
    if (Status st = check_target(in, target, force); !st) return report.error(st.error().message);
    ByteBuffer image;
    {
      auto text = read_input(in);
      if (!text) return report.error(text.error().message);
      bytes += text->size();
      auto compiled = encode_text(text->view(), options, in);
      if (!compiled) return report.error(cat({display_name(in), ": ", compiled.error().message}));
      image = std::move(*compiled);
    }  // the text is freed before the image is written
    if (target == STD_STREAM) {
      report.out.assign(image.view());
      return;
    }
    if (auto written = write_image(target, image.view()); !written) {
      report.error(cat({target, ": ", written.error().message}));
    }
  }

  // Replaces the file `target` with `image`; a terminal, whatever name leads to it (/dev/tty,
  // /dev/stdout), is refused once opened.
  static Status write_image(const std::string& target, std::string_view image) {
    Result<OutputFile, IoError> opened = OutputFile::open(target);
    if (!opened) return FormatError{opened.error().message()};
    OutputFile& file = *opened;
    if (file.is_terminal()) return FormatError{"refusing to write a binary image to a terminal"};
    if (auto written = file.write(image); !written) return FormatError{written.error().message()};
    if (auto committed = file.commit(); !committed) {
      return FormatError{committed.error().message()};
    }
    return {};
  }
};

}  // namespace

int run_encode(const Args& args) {
  const ParsedArgs parsed =
      parse_args(args, {OPT_OUTPUT, OPT_FORCE, OPT_QUIET, OPT_JOBS, OPT_EXACT, OPT_LINES});
  if (parsed.help) return print_help(HELP);
  if (parsed.error) return usage_error("encode", *parsed.error);
  const Jobs jobs = parse_jobs(parsed);
  if (jobs.error) return usage_error("encode", *jobs.error);
  Args inputs = parsed.positional;
  if (inputs.empty()) {
    if (is_terminal(STDIN_FILENO)) return usage_error("encode", "no input file given");
    inputs.push_back(STD_STREAM);
  }
  const OutputPlan plan = plan_outputs(inputs, parsed.value("output"), {JSON_ENDINGS, ".vorn"});
  if (plan.error) return usage_error("encode", *plan.error);
  if (image_for_terminal(plan)) return refuse_terminal();
  if (!make_output_dir(plan)) return STATUS_DATA_ERROR;

  const bool quiet = parsed.has("quiet");
  const EncodeJob job{
      inputs, plan, {parsed.has("exact"), parsed.has("lines")}, parsed.has("force")};
  const BatchOutcome outcome =
      run_batch(inputs, {jobs.count, inputs.size() > 1 && !quiet && is_terminal(STDERR_FILENO)},
                job, [](size_t, std::string_view out) { return print_out(out); });
  return batch_status(outcome, inputs.size(), quiet);
}

}  // namespace vorn::cli

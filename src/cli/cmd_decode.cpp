// vorn decode: VORN images back to JSON text, written straight from the image once every check
// has passed, in memory bounded by the nesting depth rather than by the size of the text.

#include <unistd.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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

// An image that passed every check, with its layout, which views it.
struct CheckedImage {
  ByteBuffer image;
  ImageLayout layout;

  explicit CheckedImage(ByteBuffer bytes) : image(std::move(bytes)) {}
};

// The images for standard output, checked on any thread and written by the main thread when
// their turn comes, so that the text of one image is never held whole. Images wait under the
// index of their input.
class WaitingImages {
 public:
  // Waits until the images waiting hold less than MAX_WAITING_BYTES, or none of them comes
  // before input `index`. The image that comes first is always printed in the end (the inputs
  // before it are not held up here), so the wait ends.
  void wait_for_room(size_t index) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] {
      return bytes_ < MAX_WAITING_BYTES || images_.empty() || images_.begin()->first > index;
    });
  }

  void put(size_t index, std::unique_ptr<CheckedImage> checked) {
    std::lock_guard lock(mutex_);
    bytes_ += checked->image.size();
    images_.emplace(index, std::move(checked));
  }

  std::unique_ptr<CheckedImage> take(size_t index) {
    std::unique_ptr<CheckedImage> checked;
    {
      std::lock_guard lock(mutex_);
      const auto it = images_.find(index);
      if (it == images_.end()) return nullptr;
      checked = std::move(it->second);
      images_.erase(it);
      bytes_ -= checked->image.size();
    }
    room_.notify_all();
    return checked;
  }

 private:
  // The bytes of images that may wait before the workers wait, besides the one image each
  // worker holds.
  static constexpr size_t MAX_WAITING_BYTES = size_t{64} << 20;

  std::mutex mutex_;
  std::condition_variable room_;  // an image was taken
  std::map<size_t, std::unique_ptr<CheckedImage>> images_;
  size_t bytes_ = 0;
};

constexpr std::string_view VORN_ENDINGS[] = {".vorn"};

struct DecodeJob {
  const Args& inputs;
  const OutputPlan& plan;
  WaitingImages& waiting;
  int indent = -1;
  bool lines = false;
  bool force = false;

  void operator()(size_t i, Report& report, uint64_t& bytes) const {
    const std::string_view in = inputs[i];
    const std::string& target = plan.targets[i];
    if (Status st = check_target(in, target, force); !st) return report.error(st.error().message);
    if (target == STD_STREAM) waiting.wait_for_room(i);
    auto image = read_input(in, InputKind::Image);
    if (!image) return report.error(image.error().message);
    bytes += image->size();
    // Every check comes before any text is written, so that a faulty image writes nothing.
    auto checked = std::make_unique<CheckedImage>(std::move(*image));
    if (Status st = check_image(bytes_of(checked->image), checked->layout); !st) {
      if (starts_like_json(checked->image.view())) {
        return report.error(cat({display_name(in), ": ", JSON_GIVEN_AS_IMAGE}));
      }
      return report.error(cat({display_name(in), ": ", st.error().message}));
    }
    if (target == STD_STREAM) {
      waiting.put(i, std::move(checked));
      report.out_waiting = true;
      return;
    }
    if (auto failed = write_file(*checked, target)) report.error(cat({target, ": ", *failed}));
  }

  // Writes the text into the file `target`, replaced whole or not at all; the message of a
  // failure.
  std::optional<std::string> write_file(const CheckedImage& checked,
                                        const std::string& target) const {
    Result<OutputFile, IoError> opened = OutputFile::open(target);
    if (!opened) return opened.error().message();
    OutputFile& file = *opened;
    std::optional<IoError> failure;
    const TextSink sink = [&](std::string_view text) {
      auto written = file.write(text);
      if (!written) failure = std::move(written).error();
      return !failure;
    };
    if (!write_image_json(checked.layout, indent, lines, sink)) return failure->message();
    if (auto committed = file.commit(); !committed) return committed.error().message();
    return std::nullopt;
  }

  // Writes the text of the image of input `index` on standard output; false when standard output
  // failed.
  bool write_stdout(size_t index) const {
    const std::unique_ptr<CheckedImage> checked = waiting.take(index);
    if (checked == nullptr) return true;  // a report waits only for an image put there
    return write_image_json(checked->layout, indent, lines, print_out);
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
  WaitingImages waiting;
  const DecodeJob job{inputs, plan, waiting, indent, lines, parsed.has("force")};
  const BatchOutcome outcome =
      run_batch(inputs, {jobs.count, inputs.size() > 1 && !quiet && is_terminal(STDERR_FILENO)},
                job, [&job](size_t index, std::string_view) { return job.write_stdout(index); });
  return batch_status(outcome, inputs.size(), quiet);
}

}  // namespace vorn::cli

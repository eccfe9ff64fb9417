// vorn encode: JSON files to VORN images.

#include <filesystem>
#include <string>
#include <system_error>
#include <unordered_set>

#include "cli/commands.h"
#include "cli/pipeline.h"
#include "cli/progress.h"

namespace vorn::cli {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view HELP = R"(usage: vorn encode IN.json... [-o OUT]

Compiles each JSON file to a VORN image.

Without -o, IN.json is written to IN.vorn beside it (a name without the .json
ending gets .vorn added). With one input, -o names the output file, or a
directory to write IN.vorn into. With several inputs, -o names a directory,
which is created when it does not exist.

A file that cannot be read or compiled is named on standard error with its
error, and the others are still encoded; the exit status is then 1. With
several inputs, progress (files done, bytes read, time elapsed) is shown on
standard error when it is a terminal.

options:
  -o, --output OUT   the output file or directory
  -h, --help         show this help
)";

// IN.json -> IN.vorn; any other name gets ".vorn" added.
fs::path vorn_name(const fs::path& input) {
  fs::path name = input.filename();
  if (name.extension() == ".json") name.replace_extension();
  name += ".vorn";
  return name;
}

struct Plan {
  std::vector<std::string> outputs;  // one per input
  std::string error;                 // a usage error when not empty
};

Plan plan_outputs(const Args& inputs, std::optional<std::string_view> out) {
  Plan plan;
  std::error_code ec;
  const bool to_dir = out && (inputs.size() > 1 || fs::is_directory(fs::path(*out), ec));
  if (to_dir && !fs::is_directory(fs::path(*out), ec)) {
    if (fs::exists(fs::path(*out), ec)) {
      plan.error = cat({"'", *out, "' is not a directory (several inputs need one)"});
      return plan;
    }
  }
  std::unordered_set<std::string> taken;
  for (std::string_view in : inputs) {
    fs::path target;
    if (!out) {
      target = fs::path(in).parent_path() / vorn_name(fs::path(in));
    } else if (to_dir) {
      target = fs::path(*out) / vorn_name(fs::path(in));
    } else {
      target = fs::path(*out);
    }
    if (!taken.insert(target.lexically_normal().string()).second) {
      plan.error = cat({"two inputs would both be written to '", target.string(), "'"});
      return plan;
    }
    plan.outputs.push_back(target.string());
  }
  return plan;
}

// The image of one file, read once; `bytes_read` grows by the size of its input. The text is
// freed on return, before the image is written.
Result<ByteBuffer> compile_file(std::string_view in, uint64_t& bytes_read) {
  auto text = read_file(in);
  if (!text) return text.error();
  bytes_read += text->size();
  auto image = encode_text(text->view());
  if (!image) return FormatError{std::string(in) + ": " + image.error().message};
  return image;
}

// Encodes one file; `bytes_read` grows by the size of its input.
Status encode_one(std::string_view in, const std::string& out, uint64_t& bytes_read) {
  auto image = compile_file(in, bytes_read);
  if (!image) return image.error();
  return write_file(out, image->view());
}

// Creates the output directory of several inputs when it does not exist yet.
bool make_output_dir(std::string_view dir) {
  std::error_code ec;
  fs::create_directories(fs::path(dir), ec);
  if (!ec) return true;
  print_error(std::string(dir) + ": " + ec.message());
  return false;
}

}  // namespace

int run_encode(const Args& args) {
  const ParsedArgs parsed = parse_args(args, {{"output", 'o', true}});
  if (parsed.help) return print_help(HELP);
  if (parsed.error) return usage_error("encode", *parsed.error);
  if (parsed.positional.empty()) return usage_error("encode", "no input file given");
  const auto out = parsed.value("output");
  if (out && out->empty()) return usage_error("encode", "the output name is empty");
  const Plan plan = plan_outputs(parsed.positional, out);
  if (!plan.error.empty()) return usage_error("encode", plan.error);
  if (out && parsed.positional.size() > 1 && !make_output_dir(*out)) return STATUS_DATA_ERROR;

  const size_t total = parsed.positional.size();
  Progress progress(total, total > 1 && stderr_is_terminal());
  uint64_t bytes_read = 0;
  size_t failed = 0;
  for (size_t i = 0; i < total; ++i) {
    const std::string_view in = parsed.positional[i];
    progress.show(i, bytes_read, in);
    const Status done = encode_one(in, plan.outputs[i], bytes_read);
    if (!done) {
      progress.clear();  // the message takes the line; the next show draws it again
      print_error(done.error().message);
      ++failed;
    }
  }
  progress.finish(total, bytes_read);
  if (failed == 0) return STATUS_OK;
  if (total > 1) {
    print_error(std::to_string(failed) + " of " + std::to_string(total) + " files failed");
  }
  return STATUS_DATA_ERROR;
}

}  // namespace vorn::cli

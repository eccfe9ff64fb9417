#include "cli/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <string>
#include <system_error>

#include "compile/view_map.h"

namespace vorn::cli {

namespace {

namespace fs = std::filesystem;

// IN.json -> IN.vorn; a name without one of the endings gets the new one added.
fs::path output_name(const fs::path& input, const OutputNaming& naming) {
  fs::path name = input.filename();
  const fs::path ext = name.extension();
  for (const std::string_view from : naming.from_ext) {
    if (ext == from) {
      name.replace_extension();
      break;
    }
  }
  name += naming.to_ext;
  return name;
}

bool is_directory(std::string_view path) {
  std::error_code ec;
  return fs::is_directory(fs::path(path), ec);
}

bool exists(std::string_view path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(fs::path(path), ec));
}

// The file that `path` names (through links), or standard input or output for "-".
std::optional<struct stat> stat_of(std::string_view path, int std_fd) {
  struct stat st {};
  const int rc = path == STD_STREAM ? ::fstat(std_fd, &st) : ::stat(std::string(path).c_str(), &st);
  if (rc != 0) return std::nullopt;
  return st;
}

}  // namespace

OutputPlan plan_outputs(const Args& inputs, std::optional<std::string_view> out,
                        const OutputNaming& naming) {
  OutputPlan plan;
  if (std::count(inputs.begin(), inputs.end(), STD_STREAM) > 1) {
    plan.error = "standard input ('-') can be read only once";
    return plan;
  }
  if (out && out->empty()) {
    plan.error = "the output name is empty";
    return plan;
  }
  if (out == STD_STREAM || (!out && naming.default_stdout)) {
    if (out && inputs.size() > 1 && !naming.default_stdout) {
      plan.error = "'-o -' writes to standard output, which takes one input only";
      return plan;
    }
    plan.targets.assign(inputs.size(), std::string(STD_STREAM));
    return plan;
  }
  const bool to_dir = out && (inputs.size() > 1 || out->back() == '/' || is_directory(*out));
  if (to_dir) {
    if (exists(*out) && !is_directory(*out)) {
      plan.error = cat({"'", *out, "' is not a directory"});
      return plan;
    }
    plan.directory = *out;
  }
  // The targets so far in their normal form, whose bytes taken_names keeps.
  std::deque<std::string> taken_names;
  ViewMap<uint8_t> taken;
  for (const std::string_view in : inputs) {
    if (in == STD_STREAM) {
      if (to_dir) {
        plan.error = cat({"standard input has no name to write into '", *out, "' (use -o FILE)"});
        return plan;
      }
      plan.targets.emplace_back(out ? *out : STD_STREAM);
      continue;
    }
    fs::path target;
    if (!out) {
      target = fs::path(in).parent_path() / output_name(fs::path(in), naming);
    } else if (to_dir) {
      target = fs::path(*out) / output_name(fs::path(in), naming);
    } else {
      target = fs::path(*out);
    }
    if (!taken.try_emplace(taken_names.emplace_back(target.lexically_normal().string()), 0)
             .second) {
      plan.error = cat({"two inputs would both be written to '", target.string(), "'"});
      return plan;
    }
    plan.targets.push_back(target.string());
  }
  return plan;
}

bool make_output_dir(const OutputPlan& plan) {
  if (plan.directory.empty()) return true;
  std::error_code ec;
  fs::create_directories(fs::path(plan.directory), ec);
  if (!ec) return true;
  print_error(cat({plan.directory, ": ", ec.message()}));
  return false;
}

Status check_target(std::string_view input, std::string_view target, bool force) {
  const auto out = stat_of(target, STDOUT_FILENO);
  if (!out) return {};  // nothing there yet
  // A FIFO or a device is written in place, and may well be the input too (/dev/null).
  if (!S_ISREG(out->st_mode)) return {};
  if (const auto in = stat_of(input, STDIN_FILENO);
      in && in->st_dev == out->st_dev && in->st_ino == out->st_ino) {
    return FormatError{cat({display_name(input), ": output is the input file"})};
  }
  if (!force && target != STD_STREAM) {
    return FormatError{cat({target, ": already exists; use -f to replace it"})};
  }
  return {};
}

bool image_for_terminal(const OutputPlan& plan) {
  for (const std::string& t : plan.targets) {
    if (t == STD_STREAM) return is_terminal(STDOUT_FILENO);
  }
  return false;
}

int refuse_terminal() {
  print_error("refusing to write a binary image to a terminal; use -o FILE or a pipe");
  return STATUS_USAGE_ERROR;
}

}  // namespace vorn::cli

#include "cli/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "compile/view_map.h"
#include "io/io_error.h"

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

// The file that `path` names (through links, as the kernel follows them), or standard input or
// output for "-"; nothing with errno set when there is none.
std::optional<struct stat> stat_of(std::string_view path, int std_fd) {
  struct stat st {};
  const int rc = path == STD_STREAM ? ::fstat(std_fd, &st) : ::stat(std::string(path).c_str(), &st);
  if (rc != 0) return std::nullopt;
  return st;
}

struct FileId {
  dev_t dev;
  ino_t ino;
  bool operator==(const FileId&) const = default;
};

struct FileIdHash {
  size_t operator()(const FileId& id) const noexcept {
    return std::hash<uint64_t>()(static_cast<uint64_t>(id.ino) * 0x9E3779B97F4A7C15ULL ^
                                 static_cast<uint64_t>(id.dev));
  }
};

// The regular file `path` names, if it names one.
std::optional<FileId> regular_file(std::string_view path, int std_fd) {
  const auto st = stat_of(path, std_fd);
  if (!st || !S_ISREG(st->st_mode)) return std::nullopt;
  return FileId{st->st_dev, st->st_ino};
}

// The refusal when an output of the batch is the file of another input, or the same file as
// another output (two names, or links, for one file): writing it would destroy an input before
// it is read, or one result would overwrite the other. An output that is its own input is
// refused by check_target, with that input's name. Names that do not resolve yet are left to the
// writes, which report them.
std::optional<std::string> shared_output(const Args& inputs,
                                         const std::vector<std::string>& targets) {
  std::unordered_map<FileId, size_t, FileIdHash> input_at;
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (const auto id = regular_file(inputs[i], STDIN_FILENO)) input_at.emplace(*id, i);
  }
  std::unordered_map<FileId, size_t, FileIdHash> output_at;
  for (size_t j = 0; j < targets.size(); ++j) {
    const auto id = regular_file(targets[j], STDOUT_FILENO);
    if (!id) continue;
    const std::string_view name =
        targets[j] == STD_STREAM ? std::string_view("standard output") : targets[j];
    if (const auto in = input_at.find(*id); in != input_at.end() && in->second != j) {
      return cat({"'", name, "' is the input file '", display_name(inputs[in->second]), "'"});
    }
    const auto [out, fresh] = output_at.emplace(*id, j);
    if (!fresh && targets[j] != STD_STREAM) {
      return cat({"'", targets[out->second], "' and '", name, "' are the same file"});
    }
  }
  return std::nullopt;
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
  // With several inputs a name that could be meant as a file is refused rather than made a
  // directory: `cp a b single` refuses the same.
  if (out && inputs.size() > 1 && out->back() != '/' && !is_directory(*out)) {
    plan.error = cat({"several inputs need -o DIR/, a directory: '", *out,
                      "' is not one (end the name with '/' to create it)"});
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
  if (auto shared = shared_output(inputs, plan.targets)) plan.error = std::move(*shared);
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
  if (!out) {
    if (errno == ENOENT) return {};  // nothing there yet
    // A name that cannot be looked up (a link the kernel refuses to follow, a directory this
    // process may not search) is not taken for an absent one.
    return FormatError{cat({target, ": ", IoError::system(errno).message()})};
  }
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

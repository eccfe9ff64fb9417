#include "cli/common.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <variant>

#include "io/file_io.h"

namespace vorn::cli {

void print_error(std::string_view message) {
  std::fflush(stdout);  // keeps the order of the two streams when they share a terminal
  std::string line = "vorn: ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

int usage_error(std::string_view command, std::string_view problem) {
  std::string msg(command);
  msg += ": ";
  msg += problem;
  msg += " (see 'vorn ";
  msg += command;
  msg += " --help')";
  print_error(msg);
  return STATUS_USAGE_ERROR;
}

bool write_stdout(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    return false;
  }
  return std::fflush(stdout) == 0;
}

Result<ByteBuffer> read_file(std::string_view path) {
  auto read = read_image_file(path);
  if (auto* err = std::get_if<IoError>(&read)) {
    return FormatError{std::string(path) + ": " + err->message()};
  }
  return std::move(std::get<ByteBuffer>(read));
}

Status write_file(std::string_view path, std::string_view bytes) {
  if (path == "-") {
    if (write_stdout(bytes)) return {};
    return FormatError{std::string("standard output: ") + std::strerror(errno)};
  }
  auto written = write_image_file(path, bytes);
  if (auto* err = std::get_if<IoError>(&written)) {
    return FormatError{std::string(path) + ": " + err->message()};
  }
  return {};
}

std::optional<ByteBuffer> read_input(std::string_view path) {
  auto read = read_file(path);
  if (read) return std::move(*read);
  print_error(read.error().message);
  return std::nullopt;
}

bool write_output(std::string_view path, std::string_view bytes) {
  const Status written = write_file(path, bytes);
  if (!written) print_error(written.error().message);
  return static_cast<bool>(written);
}

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

int print_help(std::string_view text) {
  write_stdout(text);
  return STATUS_OK;
}

std::string cat(std::initializer_list<std::string_view> parts) {
  size_t n = 0;
  for (std::string_view p : parts) n += p.size();
  std::string out;
  out.reserve(n);
  for (std::string_view p : parts) out += p;
  return out;
}

std::string group_digits(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3);
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string byte_count(uint64_t n) { return group_digits(n) + (n == 1 ? " byte" : " bytes"); }

}  // namespace vorn::cli

// What the subcommands share: exit statuses, messages on standard error, reading input files
// and writing output to a file or to standard output.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/byte_buffer.h"
#include "format/result.h"

namespace vorn::cli {

// 0 success, 1 a data error (bad input, failed I/O), 2 a usage error.
enum ExitStatus : int { STATUS_OK = 0, STATUS_DATA_ERROR = 1, STATUS_USAGE_ERROR = 2 };

using Args = std::vector<std::string_view>;

// Prints "vorn: {message}" and a line break on standard error.
void print_error(std::string_view message);

// Prints "vorn: {command}: {problem}" and a hint to the command's help; returns STATUS_USAGE_ERROR.
int usage_error(std::string_view command, std::string_view problem);

// Writes `text` to standard output and flushes it. False when the write failed.
bool write_stdout(std::string_view text);

// Reads the whole file at `path`, or gives the error as "{path}: {error}".
Result<ByteBuffer> read_file(std::string_view path);

// Writes `bytes` to the file at `path` (created or truncated), or to standard output when `path`
// is "-"; or gives the error as "{path}: {error}".
Status write_file(std::string_view path, std::string_view bytes);

// Reads the whole file at `path`; on failure prints "vorn: {path}: {error}" and returns nothing.
std::optional<ByteBuffer> read_input(std::string_view path);

// write_file, and on failure prints "vorn: {path}: {error}" and returns false.
bool write_output(std::string_view path, std::string_view bytes);

// True when standard error is a terminal.
bool stderr_is_terminal();

// Prints the help text on standard output; returns STATUS_OK.
int print_help(std::string_view text);

// The pieces joined into one string. (Chains of operator+ starting from a literal trip a false
// -Wrestrict alarm of g++ 12.)
std::string cat(std::initializer_list<std::string_view> parts);

// "12,345": a byte count with thousands separators.
std::string group_digits(uint64_t n);

// "1 byte", "12,345 bytes".
std::string byte_count(uint64_t n);

}  // namespace vorn::cli

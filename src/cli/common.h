// What the subcommands share: exit statuses, the text each file's work leaves for the two
// standard streams, messages on standard error, reading inputs (files or standard input) and
// writing to standard output.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "format/byte_buffer.h"
#include "format/result.h"

namespace vorn::cli {

// 0 success, 1 a data error (bad input, failed I/O), 2 a usage error.
enum ExitStatus : int { STATUS_OK = 0, STATUS_DATA_ERROR = 1, STATUS_USAGE_ERROR = 2 };

using Args = std::vector<std::string_view>;

// The word that names standard input (as an input) or standard output (as -o).
inline constexpr std::string_view STD_STREAM = "-";
// How messages and reports name standard input.
inline constexpr std::string_view STDIN_NAME = "standard input";

// The name of an input in messages: its path, or STDIN_NAME for "-".
inline std::string_view display_name(std::string_view path) {
  return path == STD_STREAM ? STDIN_NAME : path;
}

// What the work on one file leaves for the standard streams. Built on any thread; the main
// thread prints the reports in input order (see batch.h).
struct Report {
  std::string out;  // for standard output
  // The output for standard output waits elsewhere for its turn, under the input's index (an
  // image too large to hold as text); the batch's printer writes it.
  bool out_waiting = false;
  std::string err;  // for standard error: whole lines that begin with "vorn: "
  bool failed = false;
  // Set when memory ran out; the message is made when the report is printed, since making
  // it here could fail for the same reason.
  bool out_of_memory = false;

  // Appends the line "vorn: {message}" to `err` and marks the file as failed.
  void error(std::string_view message);
};

// How a write to one of the standard streams ended.
enum class WriteOutcome { Ok, BrokenPipe, Failed };

// Writes all of `bytes` to the descriptor, going on after a partial write or EINTR. On Failed
// errno holds the error.
WriteOutcome write_fd(int fd, std::string_view bytes);

// Writes `text` to standard output. False when that failed: a broken pipe (the reader went
// away, which needs no message) ends quietly; any other failure is reported as
// "vorn: standard output: {error}".
bool print_out(std::string_view text);

// Prints "vorn: {message}" and a line break on standard error.
void print_error(std::string_view message);

// Prints the lines of a report's `err` as they are.
void print_err_text(std::string_view text);

// Prints "vorn: {command}: {problem}" and a hint to the command's help; returns STATUS_USAGE_ERROR.
int usage_error(std::string_view command, std::string_view problem);

// What an input is read as. An Image file is refused by its header, with the decoder's message
// (or JSON_GIVEN_AS_IMAGE for a file that begins like JSON text), before the rest of it is read
// (a regular file; standard input, a FIFO or a device is read whole).
enum class InputKind { Any, Image };

// The refusal of an input that should be an image and begins like JSON text.
inline constexpr std::string_view JSON_GIVEN_AS_IMAGE =
    "not a VORN image: it starts like JSON text; did you mean vorn encode?";

// The whole contents of the file at `path`, or of standard input for "-"; or the error as
// "{name}: {error}".
Result<ByteBuffer> read_input(std::string_view path, InputKind kind = InputKind::Any);

// True when the descriptor is a terminal.
bool is_terminal(int fd);

// Prints the help text on standard output; returns STATUS_OK, or STATUS_DATA_ERROR when the
// text could not be written (reported as print_out does).
int print_help(std::string_view text);

// The pieces joined into one string. (Chains of operator+ starting from a literal trip a false
// -Wrestrict alarm of g++ 12.)
std::string cat(std::initializer_list<std::string_view> parts);

// Numbers in the human reports (inspect, stats, progress) are grouped in thousands: "12,345";
// numbers in messages and in JSON output are plain digits.
std::string group_digits(uint64_t n);

// "1 byte", "12,345 bytes".
std::string byte_count(uint64_t n);
// `s` as a JSON string literal, cut after at most `max` bytes at a character boundary and then
// followed by "...".
std::string quoted_prefix(std::string_view s, size_t max);

// The same for a count that may be negative (bytes saved): "-1,234 bytes".
std::string signed_byte_count(int64_t n);

}  // namespace vorn::cli

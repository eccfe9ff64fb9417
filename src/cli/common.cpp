#include "cli/common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <variant>

#include "cli/pipeline.h"
#include "decode/decode.h"
#include "format/json_text.h"
#include "io/file_io.h"
#include "io/io_error.h"

namespace vorn::cli {

void Report::error(std::string_view message) {
  err += cat({"vorn: ", message, "\n"});
  failed = true;
}

WriteOutcome write_fd(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EPIPE ? WriteOutcome::BrokenPipe : WriteOutcome::Failed;
    }
    if (n == 0) {
      errno = EIO;
      return WriteOutcome::Failed;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return WriteOutcome::Ok;
}

bool print_out(std::string_view text) {
  switch (write_fd(STDOUT_FILENO, text)) {
    case WriteOutcome::Ok:
      return true;
    case WriteOutcome::BrokenPipe:
      return false;
    case WriteOutcome::Failed:
      print_error(cat({"standard output: ", IoError::system(errno).message()}));
      return false;
  }
  return false;
}

void print_err_text(std::string_view text) {
  // Nothing can be reported about a failed write to standard error.
  (void)write_fd(STDERR_FILENO, text);
}

void print_error(std::string_view message) { print_err_text(cat({"vorn: ", message, "\n"})); }

int usage_error(std::string_view command, std::string_view problem) {
  print_error(cat({command, ": ", problem, " (see 'vorn ", command, " --help')"}));
  return STATUS_USAGE_ERROR;
}

namespace {

// Standard input to its end, in one buffer sized from its length when it is a regular file.
Result<ByteBuffer, IoError> read_stdin() {
  constexpr size_t CHUNK = size_t{1} << 16;
  ByteBuffer buf;
  size_t reserved = 0;  // the bytes `buf` holds room for
  struct stat st {};
  if (::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
    const off_t at = ::lseek(STDIN_FILENO, 0, SEEK_CUR);
    // One byte more than the file holds, so that the read that finds the end needs no growth.
    if (at >= 0 && at < st.st_size) reserved = static_cast<size_t>(st.st_size - at) + 1;
  }
  for (;;) {
    if (buf.size() >= reserved) reserved = buf.size() + std::max(CHUNK, buf.size());
    buf.reserve(reserved);
    const size_t before = buf.size();
    const size_t room = reserved - before;
    const ssize_t n = ::read(STDIN_FILENO, buf.extend(room), room);
    const int error = errno;
    buf.resize(before + static_cast<size_t>(n > 0 ? n : 0));
    if (n == 0) return buf;
    if (n < 0 && error != EINTR) return IoError::system(error);
  }
}

// How much of an image file is read before the rest: the header, and enough to see past the
// whitespace that a JSON text given instead may begin with.
constexpr size_t IMAGE_PREFIX = 4096;

// The decoder's check of the header, with JSON_GIVEN_AS_IMAGE for a file that begins like JSON.
Status check_image_prefix(std::span<const uint8_t> prefix, uint64_t file_size) {
  Status st = check_header(prefix, file_size);
  if (!st && starts_like_json(
                 std::string_view(reinterpret_cast<const char*>(prefix.data()), prefix.size()))) {
    return FormatError{std::string(JSON_GIVEN_AS_IMAGE)};
  }
  return st;
}

}  // namespace

Result<ByteBuffer> read_input(std::string_view path, InputKind kind) {
  if (kind == InputKind::Image && path != STD_STREAM) {
    Result<ByteBuffer, ConvertError> read =
        read_checked_file(path, IMAGE_PREFIX, &check_image_prefix);
    if (!read) {
      const auto* io = std::get_if<IoError>(&read.error());
      return FormatError{cat({display_name(path), ": ",
                              io ? io->message() : std::get<FormatError>(read.error()).message})};
    }
    return std::move(*read);
  }
  Result<ByteBuffer, IoError> read = path == STD_STREAM ? read_stdin() : read_image_file(path);
  if (!read) return FormatError{cat({display_name(path), ": ", read.error().message()})};
  return std::move(*read);
}

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

int print_help(std::string_view text) { return print_out(text) ? STATUS_OK : STATUS_DATA_ERROR; }

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

std::string quoted_prefix(std::string_view s, size_t max) {
  bool cut = false;
  if (s.size() > max) {
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    s = s.substr(0, n);
    cut = true;
  }
  std::string out;
  append_json_string(out, s);
  return cut ? out + "..." : out;
}

std::string signed_byte_count(int64_t n) {
  // The magnitude in unsigned arithmetic, which holds that of the most negative number too.
  const uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  std::string text = byte_count(magnitude);
  if (n < 0) text.insert(text.begin(), '-');
  return text;
}

}  // namespace vorn::cli

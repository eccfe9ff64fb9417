#include "io/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace vorn {

namespace {

IoError os_error(int code) { return IoError{std::strerror(code), code}; }

// Paths reach the system as C strings, so one holding NUL cannot name any file.
bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

IoError nul_in_path() { return IoError{"path contains a NUL character", 0}; }

// Closes the descriptor when it goes, keeping errno as it was.
class FileCloser {
 public:
  explicit FileCloser(int fd) noexcept : fd_(fd) {}
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  ~FileCloser() {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
  }
  // Closes now and reports the result.
  int close() noexcept { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

}  // namespace

std::variant<ByteBuffer, IoError> read_image_file(std::string_view path) {
  if (has_nul(path)) return nul_in_path();
  const std::string cpath(path);
  int fd;
  do {
    fd = ::open(cpath.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error(errno);
  FileCloser closer(fd);

  struct stat st {};
  size_t capacity = 0;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) capacity = static_cast<size_t>(st.st_size);

  ByteBuffer buf;
  try {
    // One byte more than the length lets the read that finds the end need no growth.
    buf.reserve(capacity + 1);
    for (;;) {
      size_t room = 65536;
      if (capacity > buf.size()) room = capacity - buf.size() + 1;
      uint8_t* dst = buf.extend(room);
      ssize_t n;
      do {
        n = ::read(fd, dst, room);
      } while (n < 0 && errno == EINTR);
      if (n < 0) return os_error(errno);
      buf.resize(buf.size() - room + static_cast<size_t>(n));
      if (n == 0) break;
    }
  } catch (const std::bad_alloc&) {
    return IoError{"out of memory", 0};
  }
  if (closer.close() != 0 && errno != EINTR) return os_error(errno);
  return buf;
}

std::variant<std::monostate, IoError> write_image_file(std::string_view path,
                                                       std::string_view image) {
  if (has_nul(path)) return nul_in_path();
  const std::string cpath(path);
  int fd;
  do {
    fd = ::open(cpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error(errno);
  FileCloser closer(fd);

  const char* p = image.data();
  size_t left = image.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return IoError{"failed to write whole buffer", 0};
    p += n;
    left -= static_cast<size_t>(n);
  }
  // A failed close can mean that written data never reached the file; report it.
  if (closer.close() != 0 && errno != EINTR) return os_error(errno);
  return std::monostate{};
}

}  // namespace vorn

#include "io/file_io.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace vorn {

IoError IoError::system(int code) { return IoError{std::strerror(code), code, Kind::System}; }

namespace {

// Paths reach the system as C strings, so one holding NUL cannot name any file.
bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

IoError nul_in_path() { return IoError::fixed("path contains a NUL character"); }

// Runs `call`, a system call that returns a negative number with errno set on failure, between
// the hooks, and again after EINTR for as long as the hooks allow. On failure errno holds the
// error; `interrupted` is set when the hooks chose to stop.
template <class Call>
auto blocking(IoHooks& hooks, bool& interrupted, Call call) -> decltype(call()) {
  for (;;) {
    hooks.before_blocking();
    const auto result = call();
    const int error = errno;
    hooks.after_blocking();
    if (result >= 0 || error != EINTR) {
      errno = error;
      return result;
    }
    if (!hooks.retry_after_signal()) {
      interrupted = true;
      return result;
    }
  }
}

// The error of a failed call made through blocking().
IoError failure(bool interrupted) {
  return interrupted ? IoError::interrupted() : IoError::system(errno);
}

// Owns a descriptor: closes it when it goes, keeping errno as it was.
class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
  }
  int get() const noexcept { return fd_; }
  // Closes now; false with errno set when the close reports an error (after EINTR the
  // descriptor is gone all the same, and the data may not have been written).
  bool close() noexcept { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// Writes all of `bytes` to `fd`.
std::variant<std::monostate, IoError> write_all(int fd, std::string_view bytes, IoHooks& hooks) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  bool interrupted = false;
  while (left > 0) {
    const ssize_t n = blocking(hooks, interrupted, [&] { return ::write(fd, p, left); });
    if (n < 0) return failure(interrupted);
    if (n == 0) return IoError::fixed("failed to write whole buffer");
    p += n;
    left -= static_cast<size_t>(n);
  }
  return std::monostate{};
}

// The file a path names once symbolic links are followed, link by link, to the first name that
// is not a link (which may not exist yet). Fails as open would for a loop of links.
std::variant<std::string, IoError> final_target(std::string path) {
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    if (hops == 40) return IoError::system(ELOOP);
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0) return IoError::system(errno);
    link.resize(static_cast<size_t>(n));
    if (link.empty() || link[0] != '/') {
      const size_t slash = path.rfind('/');
      link.insert(0, slash == std::string::npos ? std::string() : path.substr(0, slash + 1));
    }
    path = std::move(link);
  }
}

// A name for a new file beside `target`: its directory, then "." and the (possibly shortened)
// file name and a random part.
std::string temporary_name(const std::string& target) {
  static std::atomic<uint64_t> counter{0};
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.size() > 200) base.resize(200);
  uint64_t noise = 0;
  if (::getrandom(&noise, sizeof noise, GRND_NONBLOCK) != sizeof noise) {
    noise = reinterpret_cast<uintptr_t>(&noise) ^ static_cast<uint64_t>(::getpid()) << 32;
  }
  noise += counter.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed);
  static constexpr char DIGITS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = dir + "." + base + ".";
  for (int i = 0; i < 10; ++i) {
    name += DIGITS[noise % 36];
    noise /= 36;
  }
  return name + ".tmp";
}

// Flushes the directory that holds `path`, so that a rename into it is on the disk too. A
// failure changes nothing that could be reported: the file itself is complete.
void sync_directory(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

IoHooks& plain_io_hooks() noexcept {
  static struct Plain final : IoHooks {
  } hooks;
  return hooks;
}

std::variant<ByteBuffer, IoError> read_image_file(std::string_view path, IoHooks& hooks) {
  if (has_nul(path)) return nul_in_path();
  const std::string cpath(path);
  bool interrupted = false;
  const int fd =
      blocking(hooks, interrupted, [&] { return ::open(cpath.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return failure(interrupted);
  Descriptor file(fd);

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
      // The buffer grows before the read: nothing is allocated between the hooks.
      uint8_t* dst = buf.extend(room);
      const ssize_t n = blocking(hooks, interrupted, [&] { return ::read(fd, dst, room); });
      if (n < 0) return failure(interrupted);
      buf.resize(buf.size() - room + static_cast<size_t>(n));
      if (n == 0) break;
    }
  } catch (const std::bad_alloc&) {
    return IoError::out_of_memory();
  }
  if (!file.close() && errno != EINTR) return IoError::system(errno);
  return buf;
}

OutputFile::OutputFile(IoHooks& hooks, int fd, std::string target, std::string temporary) noexcept
    : hooks_(&hooks), fd_(fd), target_(std::move(target)), temp_(std::move(temporary)) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : hooks_(other.hooks_),
      fd_(std::exchange(other.fd_, -1)),
      target_(std::move(other.target_)),
      temp_(std::move(other.temp_)) {
  other.temp_.clear();
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
  const int saved = errno;
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  errno = saved;
}

std::variant<OutputFile, IoError> OutputFile::open(std::string_view path, IoHooks& hooks) {
  if (has_nul(path)) return nul_in_path();
  auto resolved = final_target(std::string(path));
  if (auto* error = std::get_if<IoError>(&resolved)) return *error;
  std::string& target = std::get<std::string>(resolved);

  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  // A name that ends in a slash names a directory; opening it for writing gives the error.
  if ((exists && !S_ISREG(st.st_mode)) || target.empty() || target.back() == '/') {
    bool interrupted = false;
    const int fd = blocking(hooks, interrupted, [&] {
      return ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    });
    if (fd < 0) return failure(interrupted);
    return OutputFile(hooks, fd, std::move(target), std::string());
  }

  int fd = -1;
  std::string name;
  for (int attempt = 0; fd < 0; ++attempt) {
    name = temporary_name(target);
    // 0666 under the umask: the mode a plain create gives a new file.
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 100)) return IoError::system(errno);
  }
  OutputFile file(hooks, fd, std::move(target), std::move(name));
  if (exists && ::fchmod(fd, st.st_mode & 07777) != 0) return IoError::system(errno);
  return file;
}

std::variant<std::monostate, IoError> OutputFile::write(std::string_view bytes) {
  if (fd_ < 0) return IoError::system(EBADF);
  return write_all(fd_, bytes, *hooks_);
}

std::variant<std::monostate, IoError> OutputFile::commit() {
  if (fd_ < 0) return IoError::system(EBADF);
  if (temp_.empty()) {  // written in place
    const bool closed = ::close(std::exchange(fd_, -1)) == 0;
    if (!closed && errno != EINTR) return IoError::system(errno);
    return std::monostate{};
  }
  bool interrupted = false;
  if (blocking(*hooks_, interrupted, [&] { return ::fsync(fd_); }) != 0) {
    const IoError error = failure(interrupted);
    discard();
    return error;
  }
  if (::close(std::exchange(fd_, -1)) != 0 || ::rename(temp_.c_str(), target_.c_str()) != 0) {
    const IoError error = IoError::system(errno);
    discard();
    return error;
  }
  temp_.clear();
  sync_directory(target_);
  return std::monostate{};
}

std::variant<std::monostate, IoError> write_image_file(std::string_view path,
                                                       std::string_view image, IoHooks& hooks) {
  auto opened = OutputFile::open(path, hooks);
  if (auto* error = std::get_if<IoError>(&opened)) return *error;
  OutputFile& file = std::get<OutputFile>(opened);
  auto written = file.write(image);
  if (std::holds_alternative<IoError>(written)) return written;
  return file.commit();
}

}  // namespace vorn

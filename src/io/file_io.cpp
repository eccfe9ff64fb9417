#include "io/file_io.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace vorn {

IoError IoError::system(int code) { return IoError{std::strerror(code), code, Kind::System}; }

namespace {

// Paths reach the system as C strings, so one holding NUL cannot name any file.
bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

IoError nul_in_path() { return IoError::fixed("path contains a NUL character"); }

// Runs `call`, a system call that returns a negative number with errno set on failure, between
// the hooks, and again after EINTR, for as long as the hooks allow. On failure errno holds the
// error; `interrupted` is set when the hooks chose to stop.
template <class Call>
auto blocking(IoHooks& hooks, bool& interrupted, Call call) -> decltype(call()) {
  for (;;) {
    // A signal handled before the call would not interrupt it: one that came on the way here
    // ends the operation now instead of after a wait that may never end.
    if (!hooks.may_proceed()) {
      interrupted = true;
      errno = EINTR;
      return -1;
    }
    hooks.before_blocking();
    const auto result = call();
    const int error = errno;
    hooks.after_blocking();
    if (result >= 0 || error != EINTR) {
      errno = error;
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
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    Descriptor gone(std::exchange(fd_, std::exchange(other.fd_, -1)));
    return *this;
  }
  int get() const noexcept { return fd_; }
  // Closes now; false with errno set when the close reports an error (after EINTR the
  // descriptor is gone all the same, and the data may not have been written).
  bool close() noexcept { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// Writes all of `bytes` to `fd`.
Result<void, IoError> write_all(int fd, std::string_view bytes, IoHooks& hooks) {
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
  return {};
}

// A name for a new file beside one called `base`: "." and the (possibly shortened) name and a
// random part.
std::string temporary_name(std::string_view base) {
  static std::atomic<uint64_t> counter{0};
  if (base.size() > 200) base = base.substr(0, 200);
  uint64_t noise = 0;
  if (::getrandom(&noise, sizeof noise, GRND_NONBLOCK) != sizeof noise) {
    noise = reinterpret_cast<uintptr_t>(&noise) ^ static_cast<uint64_t>(::getpid()) << 32;
  }
  noise += counter.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed);
  static constexpr char DIGITS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = ".";
  name += base;
  name += '.';
  for (int i = 0; i < 10; ++i) {
    name += DIGITS[noise % 36];
    noise /= 36;
  }
  return name + ".tmp";
}

// The temporary files that exist now, each as its directory's descriptor and its name there.
// One lock covers a temporary file's creation, its rename and its removal, so that
// remove_temporary_files() sees every file that exists and, keeping the lock, lets no other be
// made. Never destroyed: a thread may still use it while the process exits.
struct TemporaryList {
  struct Entry {
    int dir = -1;  // -1 for a free slot
    std::string name;
  };
  std::mutex mutex;
  std::vector<Entry> entries;
};

TemporaryList& temporaries() {
  static TemporaryList* list = new TemporaryList;
  return *list;
}

// Creates a new temporary file, mode 0600, in `dir` beside `base` and lists it. Returns its
// descriptor and sets `slot` to its entry, or returns -1 with errno set. Nothing is allocated once
// the file exists, so that it is listed whatever happens next.
int create_temporary(int dir, std::string_view base, size_t& slot) {
  TemporaryList& list = temporaries();
  std::lock_guard lock(list.mutex);
  slot = 0;
  while (slot < list.entries.size() && list.entries[slot].dir >= 0) ++slot;
  if (slot == list.entries.size()) list.entries.emplace_back();  // may throw std::bad_alloc
  TemporaryList::Entry& entry = list.entries[slot];
  for (int attempt = 0;; ++attempt) {
    entry.name = temporary_name(base);
    const int fd = ::openat(dir, entry.name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      entry.dir = dir;
      return fd;
    }
    if (errno != EEXIST || attempt == 100) return -1;
  }
}

// Renames the listed temporary file over `base` and takes it off the list; on failure it stays
// listed, with errno set.
bool rename_temporary(size_t slot, const std::string& base) {
  TemporaryList& list = temporaries();
  std::lock_guard lock(list.mutex);
  TemporaryList::Entry& entry = list.entries[slot];
  if (::renameat(entry.dir, entry.name.c_str(), entry.dir, base.c_str()) != 0) return false;
  entry.dir = -1;
  return true;
}

// Removes the listed temporary file and takes it off the list.
void remove_temporary(size_t slot) noexcept {
  TemporaryList& list = temporaries();
  std::lock_guard lock(list.mutex);
  TemporaryList::Entry& entry = list.entries[slot];
  ::unlinkat(entry.dir, entry.name.c_str(), 0);
  entry.dir = -1;
}

// The umask given to umask_is_fixed(), or -1.
std::atomic<int> fixed_umask{-1};

// The umask of the process, read without changing it: setting it and back would race with the
// creates of other threads.
mode_t read_umask() {
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    std::array<char, 4096> buf{};
    const ssize_t n = ::read(fd, buf.data(), buf.size() - 1);
    ::close(fd);
    if (n > 0) {
      if (const char* at = std::strstr(buf.data(), "\nUmask:")) {
        return static_cast<mode_t>(std::strtoul(at + 7, nullptr, 8) & 0777);
      }
    }
  }
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

mode_t process_umask() {
  const int fixed = fixed_umask.load(std::memory_order_relaxed);
  return fixed >= 0 ? static_cast<mode_t>(fixed) : read_umask();
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The directory part and the last name of a path: ("a/b", "c") for "a/b/c", (".", "c") for "c".
std::pair<std::string, std::string> split_path(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(path)};
  return {slash == 0 ? "/" : std::string(path.substr(0, slash)),
          std::string(path.substr(slash + 1))};
}

// A directory, opened only to name files in it, and the name in it of one file.
struct Place {
  Descriptor dir{-1};
  std::string base;
};

// Opens the directory of `path` and checks that its last name is the file `st`, not a link to it.
bool place_at(std::string_view path, const struct stat& st, Place& place) {
  auto [dir, base] = split_path(path);
  Descriptor fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat there {};
  if (fd.get() < 0 || base.empty() ||
      ::fstatat(fd.get(), base.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(there, st)) {
    return false;
  }
  place.dir = std::move(fd);
  place.base = std::move(base);
  return true;
}

// Where the regular file `file` (`st`), opened through `path`, is: under the name given when
// that is not a link, else under the name the kernel reports for the descriptor. The kernel
// followed every link; this only learns where that led.
Result<Place, IoError> locate(std::string_view path, int file, const struct stat& st) {
  Place place;
  if (place_at(path, st, place)) return place;
  std::array<char, 4096> real{};
  const std::string proc = "/proc/self/fd/" + std::to_string(file);
  const ssize_t n = ::readlink(proc.c_str(), real.data(), real.size());
  if (n <= 0 || static_cast<size_t>(n) >= real.size() || real[0] != '/' ||
      !place_at(std::string_view(real.data(), static_cast<size_t>(n)), st, place)) {
    return IoError::fixed("the file changed while it was being opened");
  }
  return place;
}

// The descriptor of this process that a name like /dev/stdout or /dev/fd/N stands for, when it
// is the socket `st` (which cannot be opened by that name), duplicated; -1 with errno set when
// there is none.
int socket_descriptor(std::string_view path, const struct stat& st) {
  int fd = -1;
  if (path == "/dev/stdin") fd = 0;
  if (path == "/dev/stdout") fd = 1;
  if (path == "/dev/stderr") fd = 2;
  for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (path.substr(0, prefix.size()) != prefix) continue;
    const std::string digits(path.substr(prefix.size()));
    char* end = nullptr;
    const long n = std::strtol(digits.c_str(), &end, 10);
    if (!digits.empty() && *end == '\0' && n >= 0 && n < 1 << 20) fd = static_cast<int>(n);
  }
  struct stat there {};
  if (fd < 0 || ::fstat(fd, &there) != 0 || !same_file(there, st)) {
    errno = ENXIO;
    return -1;
  }
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

// Flushes the directory `dir` (opened O_PATH), so that a rename into it is on the disk too. A
// failure changes nothing that could be reported: the file itself is complete.
void sync_directory(int dir) {
  const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Reads up to `size` bytes at the start of `fd` into `dst`; the count read, or -1.
ssize_t read_prefix(int fd, uint8_t* dst, size_t size, IoHooks& hooks, bool& interrupted) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n =
        blocking(hooks, interrupted, [&] { return ::read(fd, dst + got, size - got); });
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// The most read_checked_file reads ahead of the rest of a file.
constexpr size_t MAX_PREFIX = 4096;

Result<ByteBuffer, ConvertError> read_file(std::string_view path, size_t prefix_size,
                                           PrefixCheck check, IoHooks& hooks) {
  if (has_nul(path)) return nul_in_path();
  const std::string cpath(path);
  bool interrupted = false;
  const int fd =
      blocking(hooks, interrupted, [&] { return ::open(cpath.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return failure(interrupted);
  Descriptor file(fd);

  struct stat st {};
  const bool stated = ::fstat(fd, &st) == 0;
  size_t capacity = 0;
  if (stated && st.st_size > 0) capacity = static_cast<size_t>(st.st_size);

  // The beginning of a regular file is judged before anything is allocated for the rest.
  std::array<uint8_t, MAX_PREFIX> prefix{};
  size_t prefix_read = 0;
  if (check != nullptr && stated && S_ISREG(st.st_mode)) {
    const ssize_t n =
        read_prefix(fd, prefix.data(), std::min(prefix_size, prefix.size()), hooks, interrupted);
    if (n < 0) return failure(interrupted);
    prefix_read = static_cast<size_t>(n);
    if (Status verdict = check({prefix.data(), prefix_read}, static_cast<uint64_t>(st.st_size));
        !verdict) {
      return std::move(verdict).error();
    }
  }

  ByteBuffer buf;
  try {
    // One byte more than the length lets the read that finds the end need no growth.
    buf.reserve(std::max(capacity, prefix_read) + 1);
    std::memcpy(buf.extend(prefix_read), prefix.data(), prefix_read);
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

}  // namespace

IoHooks& plain_io_hooks() noexcept {
  static struct Plain final : IoHooks {
  } hooks;
  return hooks;
}

Result<ByteBuffer, IoError> read_image_file(std::string_view path, IoHooks& hooks) {
  // Without a check, every failure is the file operations' own.
  Result<ByteBuffer, ConvertError> read = read_file(path, 0, nullptr, hooks);
  if (!read) return std::get<IoError>(std::move(read.error()));
  return std::move(*read);
}

Result<ByteBuffer, ConvertError> read_checked_file(std::string_view path, size_t prefix_size,
                                                   PrefixCheck check, IoHooks& hooks) {
  return read_file(path, prefix_size, check, hooks);
}

// What a replacement needs from open() to commit(). Dropped before the rename, it removes the
// temporary file, and the placeholder made for a dangling link while it is still empty.
struct OutputFile::Replacement {
  Place place;           // the directory and the name the replacement gets
  Descriptor old{-1};    // the file being replaced (O_PATH) or the placeholder; -1 for none
  bool new_file = true;  // no file existed: the mode comes from the umask
  bool placeholder = false;
  size_t slot = 0;  // its entry in the list of temporary files
  bool listed = false;

  Replacement() = default;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement() {
    const int saved = errno;
    if (listed) remove_temporary(slot);
    struct stat made {
    }, there{};
    if (placeholder && ::fstat(old.get(), &made) == 0 && made.st_size == 0 &&
        ::fstatat(place.dir.get(), place.base.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(made, there)) {
      ::unlinkat(place.dir.get(), place.base.c_str(), 0);
    }
    errno = saved;
  }
};

OutputFile::OutputFile(IoHooks& hooks, int fd, std::unique_ptr<Replacement> replacement) noexcept
    : hooks_(&hooks), fd_(fd), replacement_(std::move(replacement)) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : hooks_(other.hooks_),
      fd_(std::exchange(other.fd_, -1)),
      replacement_(std::move(other.replacement_)) {}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
  const int saved = errno;
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  replacement_.reset();
  errno = saved;
}

namespace {

// Opens `path` for writing in place: a FIFO, a pipe or socket named through /dev/fd, a device.
// The name is opened again as the kernel resolves it, and must still be the file `st`.
Result<int, IoError> open_in_place(const std::string& path, const struct stat& st, IoHooks& hooks) {
  bool interrupted = false;
  const int fd =
      S_ISSOCK(st.st_mode) ? socket_descriptor(path, st) : blocking(hooks, interrupted, [&] {
        return ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      });
  if (fd < 0) return failure(interrupted);
  struct stat now {};
  if (::fstat(fd, &now) != 0 || !same_file(now, st)) {
    ::close(fd);
    return IoError::fixed("the file changed while it was being opened");
  }
  return fd;
}

}  // namespace

Result<OutputFile, IoError> OutputFile::open(std::string_view path, IoHooks& hooks) {
  if (has_nul(path)) return nul_in_path();
  if (path.empty()) return IoError::system(ENOENT);
  try {
    const std::string name(path);
    auto r = std::make_unique<Replacement>();
    // A name that vanishes or appears between the looks below is looked at again.
    for (int attempt = 0;; ++attempt) {
      if (attempt == 8) return IoError::fixed("the file changed while it was being opened");
      // The kernel follows the links, under its own rules; nothing is opened for reading or
      // writing yet, so a FIFO does not block here.
      Descriptor file(::open(name.c_str(), O_PATH | O_CLOEXEC));
      if (file.get() >= 0) {
        struct stat st {};
        if (::fstat(file.get(), &st) != 0) return IoError::system(errno);
        if (!S_ISREG(st.st_mode)) {
          Result<int, IoError> fd = open_in_place(name, st, hooks);
          if (!fd) return std::move(fd.error());
          return OutputFile(hooks, *fd, nullptr);
        }
        Result<Place, IoError> place = locate(name, file.get(), st);
        if (!place) return std::move(place.error());
        r->place = std::move(*place);
        r->old = std::move(file);
        r->new_file = false;
        break;
      }
      if (errno != ENOENT) return IoError::system(errno);
      struct stat link {};
      if (::lstat(name.c_str(), &link) != 0) {
        if (errno != ENOENT) return IoError::system(errno);
        // Nothing there: the new file is made in the directory the kernel finds for the name.
        auto [dir, base] = split_path(name);
        if (base.empty()) return IoError::system(EISDIR);
        Descriptor dir_fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (dir_fd.get() < 0) return IoError::system(errno);
        r->place = Place{std::move(dir_fd), std::move(base)};
        break;
      }
      if (!S_ISLNK(link.st_mode)) continue;
      // A dangling link: the kernel, following it under its rules, creates the file it names
      // (empty, 0600), which the replacement then takes the place of; removed again on failure.
      Descriptor made(
          ::open(name.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
      if (made.get() < 0) return IoError::system(errno);
      struct stat st {};
      if (::fstat(made.get(), &st) != 0) return IoError::system(errno);
      if (!S_ISREG(st.st_mode)) continue;
      Result<Place, IoError> place = locate(name, made.get(), st);
      if (!place) return std::move(place.error());
      r->place = std::move(*place);
      r->placeholder = st.st_size == 0;
      r->old = std::move(made);
      break;
    }
    const int fd = create_temporary(r->place.dir.get(), r->place.base, r->slot);
    if (fd < 0) return IoError::system(errno);
    r->listed = true;
    return OutputFile(hooks, fd, std::move(r));
  } catch (const std::bad_alloc&) {
    return IoError::out_of_memory();
  }
}

Result<void, IoError> OutputFile::write(std::string_view bytes) {
  if (fd_ < 0) return IoError::system(EBADF);
  return write_all(fd_, bytes, *hooks_);
}

bool OutputFile::is_terminal() const noexcept {
  return fd_ >= 0 && !replacement_ && ::isatty(fd_) == 1;
}

namespace {

// Gives the new file the owner and group of the file it replaces where this process may, and
// that file's permission bits; a new name gets what a plain create gives under the umask. The
// owner goes first: a change of owner clears the set-user-ID and set-group-ID bits, which are
// never carried over anyway, so that no other user is handed a set-user-ID file.
bool set_owner_and_mode(int fd, int old, bool new_file) {
  if (new_file) return ::fchmod(fd, 0666 & ~process_umask()) == 0;
  struct stat st {};
  if (::fstat(old, &st) != 0) return false;
  if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
      ::fchown(fd, st.st_uid, st.st_gid) != 0) {
    // Not allowed to give the owner; the group alone may be one this process belongs to.
    (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
  }
  return ::fchmod(fd, st.st_mode & 0777) == 0;
}

}  // namespace

Result<void, IoError> OutputFile::commit() {
  if (fd_ < 0) return IoError::system(EBADF);
  if (!replacement_) {  // written in place
    const bool closed = ::close(std::exchange(fd_, -1)) == 0;
    if (!closed && errno != EINTR) return IoError::system(errno);
    return {};
  }
  Replacement& r = *replacement_;
  if (!set_owner_and_mode(fd_, r.old.get(), r.new_file)) {
    const IoError error = IoError::system(errno);
    discard();
    return error;
  }
  bool interrupted = false;
  if (blocking(*hooks_, interrupted, [&] { return ::fsync(fd_); }) != 0) {
    const IoError error = failure(interrupted);
    discard();
    return error;
  }
  if (::close(std::exchange(fd_, -1)) != 0 || !rename_temporary(r.slot, r.place.base)) {
    const IoError error = IoError::system(errno);
    discard();
    return error;
  }
  r.listed = false;
  r.placeholder = false;
  sync_directory(r.place.dir.get());
  replacement_.reset();
  return {};
}

Result<void, IoError> write_image_file(std::string_view path, std::string_view image,
                                       IoHooks& hooks) {
  Result<OutputFile, IoError> opened = OutputFile::open(path, hooks);
  if (!opened) return std::move(opened.error());
  if (Result<void, IoError> written = opened->write(image); !written) return written;
  return opened->commit();
}

void umask_is_fixed() noexcept {
  fixed_umask.store(static_cast<int>(read_umask()), std::memory_order_relaxed);
}

void remove_temporary_files() noexcept {
  TemporaryList& list = temporaries();
  // Kept locked: the process ends, and no temporary file may be made or renamed before it does.
  list.mutex.lock();
  for (const TemporaryList::Entry& entry : list.entries) {
    if (entry.dir >= 0) ::unlinkat(entry.dir, entry.name.c_str(), 0);
  }
}

}  // namespace vorn

// The two file operations behind dump and load, and behind the command's files. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <variant>

#include "format/byte_buffer.h"
#include "format/result.h"
#include "io/io_error.h"

namespace vorn {

// What the file operations ask of their caller around system calls that may block (an open or
// a read of a FIFO, a write to a full pipe, an fsync) or be interrupted by a signal. The module
// releases the interpreter lock around such calls and ends an interrupted one when a signal
// handler raised; the defaults do nothing and retry.
class IoHooks {
 public:
  // Called just before and just after each such call; nothing else runs between them.
  virtual void before_blocking() noexcept {}
  virtual void after_blocking() noexcept {}
  // Called before each such call, and so after one that failed with EINTR: true makes the call,
  // false ends the operation with IoError::interrupted() (whatever the caller needs to report is
  // its own). Asked before the first call too, so that a signal that came before a call that may
  // wait without end (opening a FIFO) is not lost.
  virtual bool may_proceed() noexcept { return true; }

 protected:
  ~IoHooks() = default;
};

// Hooks that do nothing and always retry.
IoHooks& plain_io_hooks() noexcept;

// Reads the whole file at `path` into one buffer sized from the file's length. A buffer that
// cannot be allocated is IoError::out_of_memory().
Result<ByteBuffer, IoError> read_image_file(std::string_view path,
                                            IoHooks& hooks = plain_io_hooks());

// Judges the first bytes of a file before the rest is read: `prefix` holds the first bytes (all
// of them when the file is shorter than the size asked for) and `file_size` is the length of the
// whole file. A FormatError refuses the file.
using PrefixCheck = Status (*)(std::span<const uint8_t> prefix, uint64_t file_size);

// As read_image_file, except that for a regular file the first `prefix_size` bytes (at most 4096)
// are read and passed to `check` first, so that a file refused by its beginning is never read
// whole (or allocated for); the refusal is check's FormatError. Other files (FIFOs, devices) are
// read whole and not checked.
Result<ByteBuffer, ConvertError> read_checked_file(std::string_view path, size_t prefix_size,
                                                   PrefixCheck check,
                                                   IoHooks& hooks = plain_io_hooks());

// A file being written in pieces that replaces the file at `path` whole or not at all.
//
// The kernel resolves `path`, following symbolic links under its own rules (a link that another
// user planted in a sticky, world-writable directory is refused when fs.protected_symlinks asks
// for it), and any failure to look the name up but "does not exist" refuses the write with that
// error. For a regular file, or a name that does not exist yet, the bytes go to a new temporary
// file created with mode 0600 beside the file the name resolves to, which commit() flushes to
// the disk and renames over that file: a failure at any point (a full disk, a file size limit, a
// signal), or an OutputFile dropped without commit(), removes the temporary file and leaves the
// target as it was. A replaced file keeps its permission bits (not set-user-ID, set-group-ID or
// sticky) and, where this process may give them, its owner and group; a new file gets the mode
// a plain create gives under the process's umask. Both are set on the descriptor before the
// rename. A symbolic link stays: the file it resolves to is replaced, and a dangling link gets
// the file it names. Hard links of a replaced file keep the old content: the name gets a new
// file. Anything else at `path` (a FIFO, a pipe or socket named through /dev/fd, a device) is
// opened and written in place. A write that accepts no bytes is IoError "failed to write whole
// buffer". The hooks must outlive the OutputFile.
//
// Every temporary file stays listed, from its creation to its rename or removal, so that
// remove_temporary_files() can take them all away when the process is ended by a signal.
class OutputFile {
 public:
  // Opens the temporary file (or the FIFO or device) for the target at `path`.
  static Result<OutputFile, IoError> open(std::string_view path, IoHooks& hooks = plain_io_hooks());
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  ~OutputFile();

  // Appends `bytes`. After a failure the file can only be dropped.
  Result<void, IoError> write(std::string_view bytes);
  // Makes the written bytes the target's content; the OutputFile is spent either way.
  Result<void, IoError> commit();
  // True when the bytes go in place to a terminal (a binary image must not).
  bool is_terminal() const noexcept;

 private:
  struct Replacement;  // what a replacement needs at commit() (directory, names, old file)
  OutputFile(IoHooks& hooks, int fd, std::unique_ptr<Replacement> replacement) noexcept;
  void discard() noexcept;

  IoHooks* hooks_;
  int fd_;                                    // -1 once closed
  std::unique_ptr<Replacement> replacement_;  // null when writing in place or once spent
};

// Replaces the file at `path` with exactly `image`, whole or not at all, as OutputFile does.
Result<void, IoError> write_image_file(std::string_view path, std::string_view image,
                                       IoHooks& hooks = plain_io_hooks());

// Tells the file operations that the process's umask stays as it is now, so that they read it
// once rather than for every new file. (A library cannot assume it: the interpreter may change
// the umask at any time.)
void umask_is_fixed() noexcept;

// Removes every temporary file of the process that is listed now, and keeps any more from being
// made or renamed: for a process about to end by a signal. Call it from an ordinary thread (it
// takes a lock and is not safe in a signal handler), then end the process.
void remove_temporary_files() noexcept;

}  // namespace vorn

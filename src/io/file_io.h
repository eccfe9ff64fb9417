// The two file operations behind dump and load, and behind the command's files. Free of Python.
#pragma once

#include <string_view>
#include <variant>

#include "format/byte_buffer.h"
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
  // Called after a call failed with EINTR: true retries it, false ends the operation with
  // IoError::interrupted() (whatever the caller needs to report is its own).
  virtual bool retry_after_signal() noexcept { return true; }

 protected:
  ~IoHooks() = default;
};

// Hooks that do nothing and always retry.
IoHooks& plain_io_hooks() noexcept;

// Reads the whole file at `path` into one buffer sized from the file's length. A buffer that
// cannot be allocated is IoError::out_of_memory().
std::variant<ByteBuffer, IoError> read_image_file(std::string_view path,
                                                  IoHooks& hooks = plain_io_hooks());

// A file being written in pieces that replaces the file at `path` whole or not at all. For a
// regular file, or a name that does not exist yet, the bytes go to a new temporary file in the
// same directory, which commit() flushes to the disk and renames over the target: a failure at
// any point (a full disk, a file size limit, a signal), or an OutputFile dropped without
// commit(), removes the temporary file and leaves the target as it was. A target that exists
// keeps its permission bits; a new one gets the mode a plain create gives under the process's
// umask. A symbolic link stays: the file it points to is replaced. Anything else that exists at
// `path` (a FIFO, a device) is opened and written in place. A write that accepts no bytes is
// IoError "failed to write whole buffer". The hooks must outlive the OutputFile.
class OutputFile {
 public:
  // Opens the temporary file (or the FIFO or device) for the target at `path`.
  static std::variant<OutputFile, IoError> open(std::string_view path,
                                                IoHooks& hooks = plain_io_hooks());
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  ~OutputFile();

  // Appends `bytes`. After a failure the file can only be dropped.
  std::variant<std::monostate, IoError> write(std::string_view bytes);
  // Makes the written bytes the target's content; the OutputFile is spent either way.
  std::variant<std::monostate, IoError> commit();

 private:
  OutputFile(IoHooks& hooks, int fd, std::string target, std::string temporary) noexcept;
  void discard() noexcept;

  IoHooks* hooks_;
  int fd_;              // -1 once closed
  std::string target_;  // the name that commit() renames over
  std::string temp_;    // empty when writing in place or once renamed
};

// Replaces the file at `path` with exactly `image`, whole or not at all, as OutputFile does.
std::variant<std::monostate, IoError> write_image_file(std::string_view path,
                                                       std::string_view image,
                                                       IoHooks& hooks = plain_io_hooks());

}  // namespace vorn

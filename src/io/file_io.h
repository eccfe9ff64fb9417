// The two file operations behind dump and load. Free of Python.
#pragma once

#include <string_view>
#include <variant>

#include "format/byte_buffer.h"
#include "io/io_error.h"

namespace vorn {

// Reads the whole file at `path` into one buffer sized from the file's length. Interrupted reads
// are retried. A buffer that cannot be allocated is the IoError "out of memory".
std::variant<ByteBuffer, IoError> read_image_file(std::string_view path);

// Creates or truncates the file at `path` and writes all of `image` into it. A write that
// accepts no bytes is the IoError "failed to write whole buffer"; a failed write leaves the file
// holding what was written before it.
std::variant<std::monostate, IoError> write_image_file(std::string_view path,
                                                       std::string_view image);

}  // namespace vorn

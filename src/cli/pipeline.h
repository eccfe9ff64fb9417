// The library's steps as the command chains them, with the check that the Python module makes
// at its boundary and the command must make itself.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "format/byte_buffer.h"
#include "format/result.h"

namespace vorn::cli {

// The compiler takes UTF-8 text (the module gets it from a Python str, the command from a file):
// "invalid UTF-8 at line L column C" otherwise, the position counted as the JSON reader counts
// it, at the first byte of the faulty sequence.
Status check_text(std::string_view text);

// JSON text to an image: check_text, then the fused compiler, which gives the bytes and the
// messages of compiling and encoding.
Result<ByteBuffer> encode_text(std::string_view text);

// The bytes of a buffer as a span, as the decoder takes them.
inline std::span<const uint8_t> bytes_of(const ByteBuffer& b) { return {b.data(), b.size()}; }

}  // namespace vorn::cli

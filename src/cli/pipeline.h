// The library's steps as the command chains them, with the checks that the Python module makes
// at its boundary and the command must make itself.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "format/byte_buffer.h"
#include "format/format.h"
#include "format/result.h"

namespace vorn::cli {

// JSON text to a Document. The text must be UTF-8 (the module gets it from a Python str, the
// command from a file): "invalid UTF-8 at line L column C" otherwise; then the compiler's
// message for anything it refuses.
Result<Document> compile_text(std::string_view text);

// JSON text to an image: compile_text, then the encoder.
Result<ByteBuffer> encode_text(std::string_view text);

// The bytes of a buffer as a span, as the decoder takes them.
inline std::span<const uint8_t> bytes_of(const ByteBuffer& b) { return {b.data(), b.size()}; }

}  // namespace vorn::cli

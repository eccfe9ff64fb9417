// The library's steps as the command chains them, with the checks that the Python module makes
// at its boundary and the command must make itself.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "compile/compile_image.h"
#include "format/byte_buffer.h"
#include "format/result.h"

namespace vorn::cli {

// The text after a UTF-8 byte order mark (EF BB BF), which a JSON text may begin with and a
// reader may ignore; the text itself when it has none.
std::string_view skip_bom(std::string_view text);

// The compiler takes UTF-8 text (the module gets it from a Python str, the command from a file):
// "invalid UTF-8 at line L column C" otherwise, the position counted as the JSON reader counts
// it, at the first byte of the faulty sequence.
Status check_text(std::string_view text);

struct EncodeOptions {
  bool exact = false;  // refuse a document whose image would not read back as the same value
  bool lines = false;  // JSON Lines: one entry per line that is not blank
};

// JSON text (after any byte order mark) to an image in two parts: check_text, then the fused
// compiler for one text or for JSON Lines. A text that is not UTF-8 is refused as the JSON
// reader refuses a text.
Result<ImageParts, CompileError> compile_text(std::string_view text, const EncodeOptions& options);

// The refusal `e` of compile_text(text, options) as the command reports it: "line {n}: " for a
// line of JSON Lines, then the JSON path of the value it is about where that can be told (see
// locate_refusal), then the message. A refusal of the JSON reader for an input named
// IN.jsonl or IN.ndjson, read without --lines, whose first line holding a value is a JSON text
// of its own and not its last, gets "; use --lines for JSON Lines" added.
std::string refusal_message(std::string_view text, const EncodeOptions& options,
                            const CompileError& e, std::string_view input);

// compile_text after skipping a byte order mark, the image joined into one buffer; the error as
// refusal_message gives it for the input named `input`.
Result<ByteBuffer> encode_text(std::string_view text, const EncodeOptions& options,
                               std::string_view input);

// True when `bytes` (which no decoder accepts) begin like JSON text: after an optional byte
// order mark and whitespace, '{', '[' or '"'.
bool starts_like_json(std::string_view bytes);

// The bytes of a buffer as a span, as the decoder takes them.
inline std::span<const uint8_t> bytes_of(const ByteBuffer& b) { return {b.data(), b.size()}; }

}  // namespace vorn::cli

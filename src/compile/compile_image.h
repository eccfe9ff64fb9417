// The fused compiler: JSON text straight to image bytes, without a JsonTree of JsonValues, a
// Document or a second pass of the encoder. It gives exactly the bytes, and exactly the errors
// (message, step, line and whether it is the exactness refusal), of the reference chains in
// compile.h (compile_json, encode_document, check_readable, the exactness check), which stay the
// reference: so it never returns an image that loads refuses. It makes every refusal itself, so
// that refusing costs no more memory than succeeding. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "compile/compile_error.h"
#include "format/byte_buffer.h"
#include "format/result.h"

namespace vorn {

// A compiled image, whole in the storage its entries were written to: the compiler moves the
// entries up and writes the header, the definition block, the dict block and the entry count in
// front of them, so that the entries are copied only once and the image never exists twice.
struct ImageParts {
  ByteBuffer payload;

  size_t size() const noexcept { return payload.size(); }
  // Writes the size() bytes of the image to `out`.
  void copy_to(uint8_t* out) const noexcept;
};

// The image in one buffer: the payload's storage (its own, or its provider's).
ByteBuffer join_image(ImageParts parts);

// The image of `text` (valid UTF-8; any size) with one entry, or the first refusal in the order
// of RefusingStep: the JSON reader's, an array of mixed kinds, the encoder's refusals in its
// order, the first fault that loads would meet, then (options.exact) the first value that would
// not read back the same. `line` of the error is 0.
// The payload grows in storage from `storage` when one is given (one that becomes the result,
// such as a Python bytes object: join_image then makes the image there), else in its own.
Result<ImageParts, CompileError> compile_image_parts(std::string_view text,
                                                     CompileOptions options = {},
                                                     BufferProvider* storage = nullptr);

// The image of a JSON Lines text: one entry per line that holds a value, in order, all sharing
// one definition table and one dict, made as if the lines' values were walked one after the
// other (a string on an earlier line counts as an earlier occurrence; definitions are numbered
// across lines in that walk). Lines end at '\n'; a '\r' ending a line is ignored; a line of
// whitespace only holds no value but counts for line numbers; a text without values gives an
// image without entries. Refusals come in the order of compile_image_parts, line by line for the
// JSON reader and the compiler, whose errors carry the 1-based line and speak of that line alone
// ("expected value at line 1 column 5"); an exactness refusal carries the line of the value
// and its path within that line. More than MAX_DATA_ENTRIES lines with values are refused first,
// with "JSON Lines text has {count} lines (max 1048576)".
Result<ImageParts, CompileError> compile_lines_image(std::string_view jsonl_text,
                                                     CompileOptions options = {});

// compile_image_parts(text) joined into one buffer, with the message alone on failure.
Result<ByteBuffer> compile_image(std::string_view text);

// For tests: compile_image_parts and compile_lines_image with the tape's 64-bit positions, which
// otherwise serve only texts of 4 GiB and more.
Result<ImageParts, CompileError> compile_image_parts_wide(std::string_view text,
                                                          CompileOptions options);
Result<ImageParts, CompileError> compile_lines_image_wide(std::string_view jsonl_text,
                                                          CompileOptions options);

}  // namespace vorn

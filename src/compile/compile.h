// Document assembly: JSON text to a Document, and the reference chains of the fused compiler
// (compile_image.h). Free of Python.
#pragma once

#include <string_view>

#include "compile/compile_error.h"
#include "compile/schema.h"
#include "format/byte_buffer.h"
#include "format/format.h"
#include "format/json_value.h"
#include "format/result.h"

namespace vorn {

// Reads `text` (valid UTF-8) and compiles it into a Document with the six predefined
// definitions, the inferred ones, the dict of repeated string values and one entry. Fails with
// the JSON reader's message, or with "Array item {index} is {found} but elem_type is {expected}"
// for an array whose items cannot share one element kind. The same text always gives the same
// Document.
Result<Document> compile_json(std::string_view text);

// The reference chain of dumps: read_json, the compile walk, encode_document, check_readable on
// the Document (so that an image loads would refuse is refused with loads' message), then under
// options.exact check_exact on the tree. Each step's refusal carries its step. The fused
// compiler (compile_image_parts) gives the same bytes or the same error.
Result<ByteBuffer, CompileError> reference_image(std::string_view text,
                                                 CompileOptions options = {});

// The same for a JSON Lines text (see compile_lines_image): the line count, then each line read
// and walked with one shared CompileContext into a Document with one entry per line, then the
// steps above on that Document and, under options.exact, on each line's tree in order.
Result<ByteBuffer, CompileError> reference_lines_image(std::string_view jsonl_text,
                                                       CompileOptions options = {});

}  // namespace vorn

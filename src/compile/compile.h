// Document assembly: JSON text to a one-entry Document. Free of Python.
#pragma once

#include <string_view>

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
// Document. The reference for the fused path in compile_image.h.
Result<Document> compile_json(std::string_view text);

// The reference chain of dumps: compile_json, encode_document, then check_readable on the
// Document, so that an image loads would refuse is refused with loads' message. The fused
// compiler (compile_image.h) gives the same bytes or the same error.
Result<ByteBuffer> compile_reference_image(std::string_view text);

}  // namespace vorn

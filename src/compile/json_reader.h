// The JSON reader: JSON text to a JsonTree. Free of Python.
#pragma once

#include <string_view>

#include "format/json_value.h"
#include "format/result.h"

namespace vorn {

// Reads one JSON value (RFC 8259) surrounded by optional whitespace. `text` must be valid UTF-8
// (the module boundary guarantees it; the reader does not check it) and must outlive the tree,
// whose strings without escapes are views of it. Numbers keep one of three forms: unsigned (every
// integer >= 0), negative (integers below 0) or a finite double (fractions, exponents, -0 and
// integers beyond 64 bits). Object members are sorted by key bytes and the last of duplicate
// keys wins. On failure the message names the fault and ends with " at line L column C".
Result<JsonTree> read_json(std::string_view text);

}  // namespace vorn

// Document assembly: JSON text to a one-entry Document. Free of Python.
#pragma once

#include <string_view>

#include "compile/schema.h"
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

// Compiles a tree that read_json returned; `tree` (and the text it views) must outlive nothing
// of the result, which owns all its strings.
Result<Document> compile_tree(const JsonTree& tree);

// The Value of one JSON value and everything inside it; contents are compiled before the
// container's own definition is found or created.
Result<Value> compile_value(CompileContext& ctx, const JsonTree& tree, const JsonValue& v);

// A string value: inline at its first occurrence, a StrRef into the dict from its second on.
// `s` must stay valid for as long as the context.
Value intern_string(CompileContext& ctx, std::string_view s);

}  // namespace vorn

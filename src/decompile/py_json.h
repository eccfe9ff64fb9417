// The last step of the reading chain: a JsonValue tree to new Python objects.
#pragma once

#include "format/json_value.h"
#include "module/py_ref.h"

namespace vorn {

// Builds the Python object for `value` of `tree`: None, bool, int, float, str, list or dict
// (keys inserted in the tree's key order). Returns a new reference, or nullptr with the
// interpreter's exception set when an insertion fails; a failed creation of an object throws
// Panic. loads and load fuse the whole chain (decode, decompile, build) into one walk over the
// image with the same results; this step serves callers that hold a tree.
PyObject* json_to_python(const JsonTree& tree, const JsonValue& value);

}  // namespace vorn

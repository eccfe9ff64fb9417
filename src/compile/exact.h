// The exactness check of the reference chains: whether the image of a JSON value reads back to
// the same value. Free of Python.
#pragma once

#include "format/json_value.h"
#include "format/result.h"

namespace vorn {

// Fails with inexact_value (compile_error.h) for the first number of `tree` that would not read
// back the same, in the order an image holds the values: pre-order, items in order, members in
// key order. Arrays must be ones the compiler accepts.
Status check_exact(const JsonTree& tree);

}  // namespace vorn

// The exactness check of the reference chains: whether the image of a JSON value reads back to
// the same value. Free of Python.
#pragma once

#include <string>

#include "compile/compile_error.h"
#include "compile/tape.h"
#include "format/json_value.h"
#include "format/result.h"

namespace vorn {

// Fails with inexact_value for the first number of `tree` that would not read back the same, in
// the order an image holds the values: pre-order, items in order, members in key order. Arrays
// must be ones the compiler accepts.
Result<void, InexactValue> check_exact(const JsonTree& tree);

// The path of node `target` of a tape, as the exactness refusal names a value ("$.a[3]"): the
// containers from the root down, each step found by skipping from one child to the next, so
// that only a refusal pays for it. Object steps name the member's key.
template <class Index>
std::string tape_path(const Tape<Index>& tape, Index target);

}  // namespace vorn

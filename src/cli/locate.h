// Where in a text the value lies that a refusal of the compiler is about: its JSON path, and
// for JSON Lines its line. Worked out only once a text is refused, by a second walk of the text
// in the compiler's order that asks the compiler's and the encoder's own rules, so that refusing
// a text still costs no more memory than compiling it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "compile/compile_error.h"

namespace vorn::cli {

struct Location {
  size_t line = 0;   // JSON Lines: the 1-based line of the value; 0 for a single text
  std::string path;  // "$.a[3]", as --exact names a value
};

// The place of the value that `refusal`, the compiler's refusal of `text` (valid UTF-8, any byte
// order mark skipped; JSON Lines when `lines`), is about: an array whose items differ in kind or
// that holds too many items, the object of too many fields or of a field name too long, a string
// too long, a float beyond the float32 range, or the container whose definition crossed a limit
// on the count of definitions. Nothing for a refusal about the whole text (too many lines, an
// image too large), for one that names its place already (the JSON reader's line and column, the
// path of an exactness refusal), and whenever the walk does not come to the very refusal given
// (step, message and line), so that a place is never named wrongly.
std::optional<Location> locate_refusal(std::string_view text, bool lines,
                                       const CompileError& refusal);

}  // namespace vorn::cli

// Compares a JSON value with what comes back from its image, to tell an exact round trip from
// one that changed numbers by the narrowing rule, or one that changed anything else: a number
// that came back other than the rule says, or a kind, a string, a key, a count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/json_value.h"

namespace vorn::cli {

struct Change {
  std::string path;      // "$.items[3].price"
  std::string before;    // JSON text of the original number
  std::string after;     // JSON text of the number read back
  std::string narrowed;  // JSON text of what the narrowing rule makes of `before`
};

struct Comparison {
  uint64_t narrowed = 0;            // numbers changed as the narrowing rule says
  std::vector<Change> examples;     // the first few of them, in document order
  uint64_t differs = 0;             // numbers changed otherwise: a fault
  std::vector<Change> differences;  // the first few of them
  // Set when something other than a number differs (a kind, a string, a key, a count); the
  // walk stops there and `mismatch_path` names the place.
  bool mismatch = false;
  std::string mismatch_path;

  bool faulty() const noexcept { return mismatch || differs != 0; }
};

inline constexpr size_t MAX_EXAMPLES = 3;

// Walks both trees side by side from the roots, `prefix` starting every path ("$", or
// "line 12: $" for an entry of JSON Lines). Counts add up over several calls on `out`.
void compare_values(const JsonTree& original, const JsonValue& a, const JsonTree& restored,
                    const JsonValue& b, const std::string& prefix, Comparison& out);

}  // namespace vorn::cli

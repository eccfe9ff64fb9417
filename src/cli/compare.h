// Compares a JSON value with what comes back from its image, to tell an exact round trip from
// one that changed numbers by the 32-bit narrowing, or one that lost more than that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/json_value.h"

namespace vorn::cli {

struct Change {
  std::string path;    // "$.items[3].price"
  std::string before;  // JSON text of the original number
  std::string after;   // JSON text of the number read back
};

struct Comparison {
  uint64_t changed = 0;          // numbers that differ
  std::vector<Change> examples;  // the first few of them, in document order
  // Set when something other than a number differs (a kind, a string, a key, a count); the
  // walk stops there and `mismatch_path` names the place.
  bool mismatch = false;
  std::string mismatch_path;
};

inline constexpr size_t MAX_EXAMPLES = 3;

// Walks both trees side by side from their roots.
Comparison compare_trees(const JsonTree& original, const JsonTree& restored);

}  // namespace vorn::cli

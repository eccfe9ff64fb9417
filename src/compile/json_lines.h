// The lines of a JSON Lines text, as both compile chains split it. Free of Python.
#pragma once

#include <cstddef>
#include <string_view>

namespace vorn {

// One line that holds a value: its text (without the '\n' that ends it and a '\r' before that)
// and its 1-based number among all lines.
struct JsonLine {
  std::string_view text;
  size_t number = 0;
};

// Walks the lines of a text that hold a value: lines end at '\n' (the last one may end at the
// end of the text), and a line of JSON whitespace only (space, tab, '\r') is skipped.
class JsonLines {
 public:
  explicit JsonLines(std::string_view text) noexcept : rest_(text) {}

  // The next line that holds a value; false when none is left.
  bool next(JsonLine* line) noexcept;

 private:
  std::string_view rest_;
  size_t number_ = 0;
  bool done_ = false;
};

// The number of lines of `text` that hold a value.
size_t count_json_lines(std::string_view text) noexcept;

}  // namespace vorn

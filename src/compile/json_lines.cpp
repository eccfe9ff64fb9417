#include "compile/json_lines.h"

#include <cstring>

#include "compile/compile_error.h"
#include "format/format.h"

namespace vorn {

namespace {

bool is_blank(std::string_view line) noexcept {
  for (const char c : line) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

}  // namespace

bool JsonLines::next(JsonLine* line) noexcept {
  while (!done_) {
    std::string_view text;
    const void* nl = rest_.empty() ? nullptr : std::memchr(rest_.data(), '\n', rest_.size());
    if (nl == nullptr) {
      text = rest_;
      rest_ = {};
      done_ = true;
    } else {
      const auto n = static_cast<size_t>(static_cast<const char*>(nl) - rest_.data());
      text = rest_.substr(0, n);
      rest_.remove_prefix(n + 1);
    }
    ++number_;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (is_blank(text)) continue;
    *line = JsonLine{text, number_};
    return true;
  }
  return false;
}

size_t count_json_lines(std::string_view text) noexcept {
  JsonLines lines(text);
  JsonLine line;
  size_t n = 0;
  while (lines.next(&line)) ++n;
  return n;
}

FormatError too_many_lines(size_t count) {
  return FormatError{"JSON Lines text has " + std::to_string(count) + " lines (max " +
                     std::to_string(MAX_DATA_ENTRIES) + ")"};
}

}  // namespace vorn

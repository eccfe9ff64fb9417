// Checks on input text that the library leaves to its callers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::cli {

// The offset of the first byte that does not begin a valid UTF-8 sequence (overlong forms,
// surrogates and code points above U+10FFFF are invalid), or nothing for valid text.
std::optional<size_t> find_invalid_utf8(std::string_view text) noexcept;

// "line L column C" for the byte at `offset`, as the JSON reader counts them: lines are ended
// by line feeds only and columns count bytes, the faulty byte included.
std::string text_position(std::string_view text, size_t offset);

}  // namespace vorn::cli

// The page of `vorn inspect --html`: where the bytes of an image go, as bars a person reads at a
// glance. One self-contained HTML document: inline CSS, no script, nothing fetched from
// elsewhere. Every text taken from the image (field names, the file name) is escaped.
#pragma once

#include <string>
#include <string_view>

#include "cli/sizes.h"
#include "decode/decode.h"

namespace vorn::cli {

// The page for the image named `name`, which `layout` and `sizes` describe.
std::string html_report(std::string_view name, const ImageLayout& layout, const ImageSizes& sizes);

// Writes the page to the file at `path`, replaced whole or not at all. False, after
// "vorn: {path}: {error}", when that fails.
bool write_html_report(std::string_view path, std::string_view name, const ImageLayout& layout,
                       const ImageSizes& sizes);

// `text` with &, <, >, " and ' replaced by character references, safe in element content and
// in quoted attribute values.
std::string html_escape(std::string_view text);

}  // namespace vorn::cli

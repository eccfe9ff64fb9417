// The decompiler: turns an image or a decoded Document into one JsonValue tree, putting the field
// names of the object definitions back and resolving every StrRef against the dict. It makes the
// checks the decoder leaves out: StrRef indexes against the dict, definition lookup by id, the
// field count of objects against their definition, and finite floats. Those checks live once,
// in decompile_walk.h, for both ways in and for loads.
#pragma once

#include <cstdint>
#include <span>

#include "decode/decode.h"
#include "format/format.h"
#include "format/json_value.h"
#include "format/result.h"

namespace vorn {

// Decompiles `doc`: null for no entries, the value of a single entry, or an array of the values
// of several. The tree views strings owned by `doc` (inline strings, dict strings shared by all
// their StrRefs, field names as keys): `doc` must outlive it and stay unchanged.
Result<JsonTree> decompile_document(const Document& doc);

// Decodes and decompiles `image` in one walk, with no Document between: the same tree as
// decompile_document(decode_document(image)) and, for a faulty image, the same message (a fault
// of the decoder anywhere comes before a fault of the decompiler). The tree views the image's
// bytes: the image must outlive it and stay unchanged.
Result<JsonTree> decompile_image(std::span<const uint8_t> image);

// Makes every check of decompile_image, in its order and with its messages, and makes no value:
// the time taken is bounded by the image's bytes and the memory by its tables, not by the size of
// the value. On success `layout` describes the image and views its bytes.
Status check_image(std::span<const uint8_t> image, ImageLayout& layout);

}  // namespace vorn

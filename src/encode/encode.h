// The encoder: writes a Document as a VORN image. The frame of the image (header, definition and
// dict blocks, entry headers) is planned and written by image_writer.h, which the fused compiler
// and emit share; the encoder adds the payloads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/byte_buffer.h"
#include "format/format.h"
#include "format/result.h"

namespace vorn {

// Writes `doc` as an image. Trusts the document except for the limits without which the bytes
// would not be an image: more than 65535 definitions, an array definition without elem_type, an
// object definition without fields or with more than 65535 of them, a field name over 255 bytes,
// a string over 16777215 bytes, an array of more than 65535 items, an image of 4 GiB or more.
// The first such fault (in that order: definitions, dict strings, payloads) is returned and no
// bytes are. It makes none of the decoder's checks: see check_readable in image_writer.h.
Result<ByteBuffer> encode_document(const Document& doc);

// The encoder's refusals, one text each.
FormatError too_many_definitions(size_t count);
FormatError too_many_fields(uint16_t id, size_t count);
FormatError too_many_items(size_t count);
FormatError string_too_long();
FormatError image_too_large();

}  // namespace vorn

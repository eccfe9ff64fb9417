// The decoder: validates an untrusted VORN image and reads it back. Every count, offset and
// length is tested before it is used, no byte outside the image is read, and the first fault
// ends the decoding with a FormatError naming it.
//
// Two ways in share one set of checks: decode_document builds an owned Document; read_layout
// and validate_image check an image without copying it, for readers that build their own result
// straight from the bytes (see walker.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "format/format.h"
#include "format/result.h"
#include "format/small_vector.h"

namespace vorn {

// A field of an object definition as it stands in the image.
struct FieldView {
  std::string_view name;  // UTF-8, viewing the image
  TypeTag tag = TypeTag::Null;
  bool ascii = false;  // every byte of the name is below 0x80
};

// A definition as it stands in the image. Only Array definitions have an elem_type and only
// Object definitions a field list (which may be empty).
struct DefView {
  TypeTag kind = TypeTag::Null;
  uint16_t id = 0;
  bool has_elem_type = false;
  bool has_fields = false;
  TypeTag elem_type = TypeTag::Null;
  uint32_t first_field = 0;  // index of the first field in ImageLayout::fields
  uint32_t field_count = 0;
};

// The header, definition block and dict block of a checked image, viewing the image's bytes: it
// is valid only while the image is. The tables of a small image fit in the object itself. After a
// fault read_layout leaves in it everything read before the fault, so that a damaged image can be
// shown up to the point where it breaks.
struct ImageLayout {
  uint8_t version = 0;
  uint32_t def_block_offset = 0;
  uint32_t dict_block_offset = 0;
  uint32_t data_block_offset = 0;
  SmallVector<DefView, 16> defs;
  SmallVector<FieldView, 32> fields;          // the fields of all object definitions, in a row
  SmallVector<std::string_view, 16> strings;  // the dict strings, UTF-8
  std::span<const uint8_t> data;              // the data block, from its entry count to the end
  uint32_t entry_count = 0;

  // How far read_layout got. The version and the offsets hold the image's bytes once the header
  // is there, whether or not they pass their checks; each count is set once read, before it is
  // checked, and stays unset for a block not reached. Definitions and dict strings are kept as
  // each is read whole (a definition with its fields).
  bool header_read = false;
  bool header_valid = false;
  struct Counts {
    std::optional<uint32_t> definitions;
    std::optional<uint32_t> dict_strings;  // 0 for an empty dict block, which holds no count
    std::optional<uint32_t> entries;
  } declared;

  std::span<const FieldView> fields_of(const DefView& def) const {
    return {fields.data() + def.first_field, def.field_count};
  }
};

// Makes the first checks of read_layout, those of the header, with the same messages, on the
// first bytes of an image of `image_size` bytes: `prefix` holds all of them, or at least
// HEADER_SIZE. A file can so be refused by its beginning before it is read whole.
Status check_header(std::span<const uint8_t> prefix, uint64_t image_size);

// Checks the header, the definition block, the dict block and the data block's entry count, in
// that order, and fills `layout` with views of them. The entries themselves are not read. On a
// fault `layout` keeps what was read before it (see ImageLayout).
Status read_layout(std::span<const uint8_t> image, ImageLayout& layout);

// Runs every check of decode_document, in the same order and with the same messages, without
// building anything; on success `layout` describes the image.
Status validate_image(std::span<const uint8_t> image, ImageLayout& layout);

// Decodes a whole image into an owned Document: every string is copied out, nothing refers back
// to the image. Fails with the first fault found.
Result<Document> decode_document(std::span<const uint8_t> image);

}  // namespace vorn

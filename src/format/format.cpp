#include "format/format.h"

#include <string>
#include <utility>

namespace vorn {

namespace {

// The codecs read back what they write, at the boundaries of each string form.
constexpr bool prefix_reads_back(size_t n) {
  uint8_t b[LONG_PREFIX_SIZE] = {};
  const uint8_t* end = put_string_prefix(b, n);
  if (static_cast<size_t>(end - b) != string_prefix_size(n)) return false;
  if (b[0] < STRING_MEDIUM) return b[0] == n;
  if (b[0] == STRING_LONG) return long_string_length(b) == n;
  return medium_string_length(b) == n;
}
static_assert(prefix_reads_back(0) && prefix_reads_back(MAX_SHORT_STRING_LEN));
static_assert(prefix_reads_back(MAX_SHORT_STRING_LEN + 1) &&
              prefix_reads_back(MAX_MEDIUM_STRING_LEN));
static_assert(prefix_reads_back(MAX_MEDIUM_STRING_LEN + 1) &&
              prefix_reads_back(MAX_INLINE_STRING_LEN));
static_assert([] {
  uint8_t b[4] = {};
  put_u32(b, 0x01020304);
  const bool u32 = b[0] == 4 && b[3] == 1 && load_u32(b) == 0x01020304;
  put_u16(b, 0xBEEF);
  return u32 && b[0] == 0xEF && load_u16(b) == 0xBEEF && load_u24(b) == 0x02BEEF;
}());

}  // namespace

std::string_view tag_name(TypeTag tag) noexcept {
  switch (tag) {
    case TypeTag::Null:
      return "Null";
    case TypeTag::Bool:
      return "Bool";
    case TypeTag::Int32:
      return "Int32";
    case TypeTag::UInt32:
      return "UInt32";
    case TypeTag::Float32:
      return "Float32";
    case TypeTag::String:
      return "String";
    case TypeTag::Array:
      return "Array";
    case TypeTag::Object:
      return "Object";
  }
  return "?";
}

FormatError array_item_mismatch(size_t index, TypeTag found, TypeTag expected) {
  std::string m = "Array item " + std::to_string(index) + " is ";
  m += tag_name(found);
  m += " but elem_type is ";
  m += tag_name(expected);
  return FormatError{std::move(m)};
}

std::vector<Definition> predefined_definitions() {
  std::vector<Definition> defs;
  defs.reserve(PREDEFINED_COUNT + 2);
  for (size_t i = 0; i < PREDEFINED_COUNT; ++i) {
    const uint8_t* laid_out = PREDEFINED_BLOCK.data() + DEFINITION_HEAD_SIZE * i;
    Definition d;
    d.kind = static_cast<TypeTag>(laid_out[0]);
    d.id = load_u16(laid_out + 1);
    defs.push_back(std::move(d));
  }
  return defs;
}

}  // namespace vorn

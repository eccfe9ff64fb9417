#include "emit/emit_image.h"

#include <cstring>
#include <string>
#include <utility>

#include "encode/encode.h"

namespace vorn {

namespace {

uint64_t string_size(size_t n) noexcept { return string_prefix_size(n) + n; }

}  // namespace

Result<EmitImage> EmitImage::plan(const EmitBuilder& b) {
  // The encoder's refusals, in the order in which it would meet them.
  if (b.definition_count() > MAX_ENCODED_DEFINITIONS) {
    return too_many_definitions(b.definition_count());
  }
  if (const auto [id, count] = b.wide_object(); count != 0) {
    return too_many_fields(id, count);
  }
  uint64_t size = HEADER_SIZE + 2 + b.definition_block().size();
  if (size > MAX_IMAGE_SIZE) return image_too_large();
  size += 4;  // the dict string count
  for (const std::string_view s : b.strings()) {
    if (s.size() > MAX_INLINE_STRING_LEN) {
      return string_too_long();
    }
    size += string_size(s.size());
    if (size > MAX_IMAGE_SIZE) return image_too_large();
  }
  if (b.oversized_array() != 0) {
    return too_many_items(b.oversized_array());
  }
  size += 4 + 2 + 4 + b.payload().size();  // entry count, definition index, payload length
  if (size > MAX_IMAGE_SIZE) return image_too_large();
  EmitImage image(b);
  image.size_ = static_cast<size_t>(size);
  return image;
}

void EmitImage::write_prefix(uint8_t* out) const {
  const EmitBuilder& b = *b_;
  uint8_t* p = out + HEADER_SIZE;
  p[0] = static_cast<uint8_t>(b.definition_count());
  p[1] = static_cast<uint8_t>(b.definition_count() >> 8);
  const ByteBuffer& defs = b.definition_block();
  std::memcpy(p + 2, defs.data(), defs.size());
  p += 2 + defs.size();

  const auto dict_offset = static_cast<uint32_t>(p - out);
  ByteBuffer::store_u32(p, static_cast<uint32_t>(b.strings().size()));
  p += 4;
  for (const std::string_view s : b.strings()) {
    const size_t n = s.size();
    p = put_string_prefix(p, n);
    if (n != 0) std::memcpy(p, s.data(), n);
    p += n;
  }

  const auto data_offset = static_cast<uint32_t>(p - out);
  ByteBuffer::store_u32(p, 1);
  p[4] = static_cast<uint8_t>(b.root_definition());
  p[5] = static_cast<uint8_t>(b.root_definition() >> 8);
  ByteBuffer::store_u32(p + 6, static_cast<uint32_t>(b.payload().size()));

  out[0] = FORMAT_VERSION;
  ByteBuffer::store_u32(out + 1, HEADER_SIZE);
  ByteBuffer::store_u32(out + 5, dict_offset);
  ByteBuffer::store_u32(out + 9, data_offset);
}

}  // namespace vorn

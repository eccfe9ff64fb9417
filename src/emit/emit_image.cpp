#include "emit/emit_image.h"

#include <cassert>
#include <cstring>
#include <string>
#include <utility>

#include "encode/encode.h"

namespace vorn {

namespace {

uint8_t* put_u16(uint8_t* p, uint16_t v) noexcept {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  return p + 2;
}

uint8_t* put_u32(uint8_t* p, uint32_t v) noexcept {
  ByteBuffer::store_u32(p, v);
  return p + 4;
}

// The short, medium or long form, as the encoder picks it; the length is at most
// MAX_INLINE_STRING_LEN, which plan() has made sure of.
uint8_t* put_string(uint8_t* p, std::string_view s) noexcept {
  const size_t n = s.size();
  if (n < 128) {
    *p++ = static_cast<uint8_t>(n);
  } else if (n < 16384) {
    *p++ = static_cast<uint8_t>(STRING_MEDIUM | (n >> 8));
    *p++ = static_cast<uint8_t>(n & 0xFF);
  } else {
    *p++ = STRING_LONG;
    *p++ = static_cast<uint8_t>(n);
    *p++ = static_cast<uint8_t>(n >> 8);
    *p++ = static_cast<uint8_t>(n >> 16);
  }
  if (n != 0) std::memcpy(p, s.data(), n);
  return p + n;
}

uint64_t string_size(size_t n) noexcept { return (n < 128 ? 1 : n < 16384 ? 2 : 4) + n; }

}  // namespace

Result<EmitImage> EmitImage::plan(EmitBuilder& b, const EmitTree& tree) {
  EmitImage image(b, tree);
  {
    Document doc;
    doc.definitions = std::move(b.definitions);
    Result<ByteBuffer> encoded = encode_document(doc);
    if (!encoded) return encoded.error();
    image.head_ = std::move(*encoded);
  }
  // After the definitions the encoder wrote an empty dictionary (a zero u32) and no entries (a
  // zero u32); write() puts the real ones there.
  image.head_.resize(image.head_.size() - 8);

  uint64_t size = image.head_.size() + 4;
  for (const std::string_view s : b.dictionary.strings()) {
    if (s.size() > MAX_INLINE_STRING_LEN) {
      return FormatError{"String exceeds maximum inline length (16 777 215 bytes)"};
    }
    size += string_size(s.size());
    if (size > MAX_IMAGE_SIZE) return FormatError{"Image exceeds 4294967295 bytes"};
  }
  if (b.oversized_array != UINT32_MAX) {
    return FormatError{"Array has " + std::to_string(tree[b.oversized_array].bits) +
                       " items (max 65535)"};
  }
  size += 4 + 2 + 4 + b.payload_size;  // entry count, definition index, payload length
  if (size > MAX_IMAGE_SIZE) return FormatError{"Image exceeds 4294967295 bytes"};
  image.size_ = static_cast<size_t>(size);
  return image;
}

void EmitImage::write(uint8_t* out) const {
  const EmitBuilder& b = *b_;
  const EmitTree& tree = *tree_;
  std::memcpy(out, head_.data(), head_.size());
  uint8_t* p = out + head_.size();

  const auto dict_offset = static_cast<uint32_t>(p - out);
  const std::vector<std::string_view>& strings = b.dictionary.strings();
  p = put_u32(p, static_cast<uint32_t>(strings.size()));
  for (const std::string_view s : strings) p = put_string(p, s);

  const auto data_offset = static_cast<uint32_t>(p - out);
  p = put_u32(p, 1);
  p = put_u16(p, root_definition(tree));
  p = put_u32(p, static_cast<uint32_t>(b.payload_size));
  // The tree is in pre-order, which is the order of the payload, so one pass over the nodes
  // writes it.
  for (const EmitNode& n : tree) {
    switch (n.kind) {
      case ValueKind::Bool:
        *p++ = static_cast<uint8_t>(n.bits);
        break;
      case ValueKind::Int32:
      case ValueKind::UInt32:
      case ValueKind::Float32:
        p = put_u32(p, n.bits);
        break;
      case ValueKind::String:
        p = put_string(p, strings[n.bits]);
        break;
      case ValueKind::Array:
        p = put_u16(p, n.def);
        p = put_u16(p, n.def);  // elem_def_index: the array's own definition
        p = put_u16(p, static_cast<uint16_t>(n.bits));
        break;
      case ValueKind::Object:
        p = put_u16(p, n.def);
        break;
      case ValueKind::Null:
      case ValueKind::StrRef:
        break;
    }
  }
  assert(p == out + size_);
  (void)p;

  out[0] = FORMAT_VERSION;
  ByteBuffer::store_u32(out + 1, HEADER_SIZE);
  ByteBuffer::store_u32(out + 5, dict_offset);
  ByteBuffer::store_u32(out + 9, data_offset);
}

}  // namespace vorn

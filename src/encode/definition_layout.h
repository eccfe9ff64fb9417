// A definition table laid out in the image's form as a writer makes its definitions, one after
// the other: the predefined definitions first, then each array or object definition as it
// is created, with what plan_image needs to know of it (its count, the first definition the
// encoder refuses, the first the decoder refuses for its width). The fused compiler and the
// emit builder both make their tables through it. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "encode/image_writer.h"
#include "format/codec.h"
#include "format/format.h"

namespace vorn {

// `Bytes` is a growable byte store with append(const uint8_t*, size_t), extend(size_t) (room for
// n more bytes, returned), data() and size().
template <class Bytes>
class DefinitionLayout {
 public:
  DefinitionLayout() { bytes_.append(PREDEFINED_BLOCK.data(), PREDEFINED_BLOCK.size()); }

  // The id the next definition will get. Ids wrap after 65535; a table of that many is refused.
  uint16_t next_id() const noexcept { return next_id_; }

  // Lays out an array definition of element type `elem`; returns its id.
  uint16_t add_array(TypeTag elem) {
    const uint16_t id = take_id();
    uint8_t* p = bytes_.extend(ARRAY_DEFINITION_SIZE);
    p[0] = static_cast<uint8_t>(TypeTag::Array);
    put_u16(p + 1, id);
    p[3] = static_cast<uint8_t>(elem);
    return id;
  }

  // Starts an object definition of `count` fields whose field entries (length, name, tag per
  // field) take `field_bytes`; sets `id` and returns where the caller writes those entries. A
  // definition of more fields than a u16 counts is the table's fault and is not laid out: the
  // result is then nullptr (the block is never written, only its count matters).
  uint8_t* add_object(size_t count, size_t field_bytes, uint16_t& id) {
    id = take_id();
    if (count > MAX_OBJECT_FIELDS && wide_fields_ == 0) {
      wide_id_ = id;
      wide_fields_ = count;
    }
    if (count > MAX_ENCODED_FIELDS) [[unlikely]] {
      note_fault(DefinitionFault{DefinitionFault::Kind::TooManyFields, id, count});
      return nullptr;
    }
    uint8_t* p = bytes_.extend(OBJECT_DEFINITION_HEAD_SIZE + field_bytes);
    p[0] = static_cast<uint8_t>(TypeTag::Object);
    put_u16(p + 1, id);
    return put_u16(p + 3, static_cast<uint16_t>(count));
  }

  // Keeps the first fault of the table, in table order.
  void note_fault(DefinitionFault fault) noexcept {
    if (!fault_) fault_ = fault;
  }

  // The table as plan_image and write_image_prefix see it; it views this layout.
  DefinitionBlock block() const noexcept {
    DefinitionBlock block;
    block.count = count_;
    block.size = bytes_.size();
    block.fault = fault_;
    block.wide_id = wide_id_;
    block.wide_fields = wide_fields_;
    block.laid_out = std::span<const uint8_t>(bytes_.data(), bytes_.size());
    return block;
  }

 private:
  uint16_t take_id() noexcept {
    ++count_;
    return next_id_++;
  }

  Bytes bytes_;
  size_t count_ = PREDEFINED_COUNT;
  uint16_t next_id_ = PREDEFINED_COUNT;
  DefinitionFault fault_;
  uint16_t wide_id_ = 0;  // the first of more than MAX_OBJECT_FIELDS fields, if wide_fields_
  size_t wide_fields_ = 0;
};

}  // namespace vorn

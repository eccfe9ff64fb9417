// The one writer of an image's frame, shared by the encoder, the fused compiler and emit: the
// header, the definition block, the dict block and the entry headers. Each producer holds its
// parts in its own form (a Document; a compile context and a payload written as the text is
// walked; an emit builder whose definitions are laid out as they are made), so the writing goes
// in two steps that all of them share:
//
//   plan_image          works out every offset and the image size, refusing what the encoder
//                       refuses, in the encoder's order;
//   write_image_prefix  then writes the header, the definition block, the dict block and the
//                       entry count into storage of the planned size, with no further checks;
//   put_entry_header    writes one entry's definition index and payload length.
//
// check_readable comes after a successful plan: the first fault that the decoder, then the
// decompiler, would meet in the image, so that no writer hands out an image that loads refuses.
// Free of Python.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "format/codec.h"
#include "format/format.h"
#include "format/reader_refusals.h"
#include "format/result.h"

namespace vorn {

// What string_size gives for a string that no form holds.
inline constexpr uint64_t NO_STRING_FORM = UINT64_MAX;

// The bytes that an n-byte string takes with its length prefix, or NO_STRING_FORM for more than
// 16777215 bytes. The one test of the string-length limit, for dict strings and inline strings
// of every writer.
constexpr uint64_t string_size(size_t n) noexcept {
  return n <= MAX_INLINE_STRING_LEN ? string_prefix_size(n) + n : NO_STRING_FORM;
}

// Copies n bytes; short runs by overlapping word moves inside both ranges, without a call.
inline void copy_bytes(uint8_t* dst, const char* src, size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t a;
    uint32_t b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) dst[i] = static_cast<uint8_t>(src[i]);
  } else {
    std::memcpy(dst, src, n);
  }
}

// Writes a string of at most 16777215 bytes with its length prefix at p; returns the byte after.
inline uint8_t* put_string(uint8_t* p, std::string_view s) noexcept {
  p = put_string_prefix(p, s.size());
  copy_bytes(p, s.data(), s.size());
  return p + s.size();
}

// The first definition, in table order, that the encoder refuses.
struct DefinitionFault {
  enum class Kind : uint8_t { None, NoElemType, NoFields, TooManyFields, NameTooLong };
  Kind kind = Kind::None;
  uint16_t id = 0;
  size_t fields = 0;  // TooManyFields: the definition's field count

  explicit operator bool() const noexcept { return kind != Kind::None; }
  // "Array #{id} has no elem_type", "Object #{id} has no fields", "Object #{id} has {count}
  // fields (max 65535)" or "Field name too long".
  FormatError error() const;
};

// A definition table as plan_image and write_image_prefix see it: its size and faults, and the
// definitions themselves, either as Definitions or as a block already in the image's layout.
struct DefinitionBlock {
  size_t count = 0;
  uint64_t size = 0;  // bytes after the u16 count; exact only when there is no fault
  DefinitionFault fault;
  // The first object definition, in table order, with more fields than the decoder reads
  // (MAX_OBJECT_FIELDS); a count of 0 when there is none.
  uint16_t wide_id = 0;
  size_t wide_fields = 0;
  // Exactly one of these holds the definitions (both are empty for an empty table).
  std::span<const Definition> table;
  std::span<const uint8_t> laid_out;
};

// Measures a table of Definitions: its size, the first fault in table order, the first object
// definition too wide for the decoder. `table` must outlive the result.
DefinitionBlock measure_definitions(std::span<const Definition> table);

// The first fault of one entry's payload, in payload order (pre-order, items in order), that the
// encoder refuses.
struct PayloadFault {
  enum class Kind : uint8_t { None, StringTooLong, TooManyItems };
  Kind kind = Kind::None;
  size_t items = 0;  // TooManyItems: the array's item count

  explicit operator bool() const noexcept { return kind != Kind::None; }
  // "String exceeds maximum inline length (16 777 215 bytes)" or "Array has {count} items (max
  // 65535)".
  FormatError error() const;
};

// One entry as plan_image sees it: its payload's size, or the payload's first fault.
struct EntrySize {
  uint64_t payload = 0;
  PayloadFault fault;
};

// Measures the payload of a Value, stopping at its first fault.
EntrySize measure_payload(const Value& value);

// Where the blocks of a planned image start, and its size; all below 2^32.
struct ImagePlan {
  uint32_t dict_offset = 0;
  uint32_t data_offset = 0;
  size_t size = 0;
};

// Plans the image of a definition table, dict strings and entries, or fails with the first
// refusal of the encoder, in its order: more than 65535 definitions ("Too many definitions
// ({count}), max 65535"); the first definition fault; the dict strings in order ("String exceeds
// maximum inline length (16 777 215 bytes)"); the entries' payload faults in entry order. "Image
// exceeds 4294967295 bytes" is tested after the definition block, after each dict string and
// after each entry. `S` is std::string or std::string_view. When the refusal is the payload
// fault of an entry, `faulty_entry` (if given) is set to that entry's position, else to
// SIZE_MAX.
template <class S>
Result<ImagePlan> plan_image(const DefinitionBlock& defs, std::span<const S> strings,
                             std::span<const EntrySize> entries, size_t* faulty_entry = nullptr);

// Writes the header, the definition block, the dict block and the entry count of a planned
// image at `out`, which must hold plan.data_offset + 4 bytes; returns the byte after them, where
// the first entry goes. The arguments are the plan's.
template <class S>
uint8_t* write_image_prefix(uint8_t* out, const ImagePlan& plan, const DefinitionBlock& defs,
                            std::span<const S> strings, size_t entry_count) noexcept;

// Writes an entry's header (ENTRY_HEADER_SIZE bytes) at p; returns the byte after it, where its
// payload goes.
inline uint8_t* put_entry_header(uint8_t* p, uint16_t def_index, uint64_t payload) noexcept {
  return put_u32(put_u16(p, def_index), static_cast<uint32_t>(payload));
}

// The first float32 of an image, in payload order, that is infinite or NaN, noted by a writer as
// it writes its numbers.
class FirstNonFinite {
 public:
  void note(uint32_t bits) noexcept {
    if (is_non_finite_float(bits) && bits_ == 0) [[unlikely]] {
      bits_ = bits;
    }
  }
  // narrow_to_float(d), noting a non-finite result. A magnitude within the float range, the
  // common case, costs only the comparison that narrowing makes anyway.
  float narrow(double d) noexcept {
    constexpr double FLOAT_MAX = 0x1.fffffep127;
    if (std::fabs(d) <= FLOAT_MAX) [[likely]] {
      return static_cast<float>(d);
    }
    const float f = narrow_to_float(d);
    note(std::bit_cast<uint32_t>(f));
    return f;
  }
  bool found() const noexcept { return bits_ != 0; }
  uint32_t bits() const noexcept { return bits_; }

 private:
  uint32_t bits_ = 0;  // 0 is a finite float, so it stands for none
};

// The first refusal that loads would meet in an image that plan_image accepted: the decoder's
// "Definition count {count} exceeds max 2048", then its "Object #{id} has {count} fields (max
// 256)" for the first such definition in table order, then the decompiler's "Cannot represent
// float {value}" for the first non-finite float. Every writer makes this test, after the
// encoder's.
Status check_readable(const DefinitionBlock& defs, FirstNonFinite floats);

// The same test on a Document that encode_document accepted, for the reference chains: the
// facts that the fused writers note as they go are gathered from the Document here.
Status check_readable(const Document& doc);

}  // namespace vorn

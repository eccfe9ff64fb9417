// The byte-level codecs of an image, each written once for every reader and writer: the
// little-endian integers and the length prefix of a string, in both directions. Readers call them
// only on bytes they have checked are there; writers only on room they have made. All are inline
// and free of branches they do not need, so that the hot loops that call them compile as if the
// bytes were handled in place. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// Little-endian integers. The byte-by-byte forms are what the compiler merges into one load or
// store, whatever the alignment of p.

constexpr uint16_t load_u16(const uint8_t* p) noexcept {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
constexpr uint32_t load_u24(const uint8_t* p) noexcept {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16;
}
constexpr uint32_t load_u32(const uint8_t* p) noexcept {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Each writes v at p and returns the byte after it.
constexpr uint8_t* put_u16(uint8_t* p, uint16_t v) noexcept {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  return p + 2;
}
constexpr uint8_t* put_u24(uint8_t* p, uint32_t v) noexcept {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  return p + 3;
}
constexpr uint8_t* put_u32(uint8_t* p, uint32_t v) noexcept {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
  return p + 4;
}

// The string forms. The lead byte of a string selects its form:
//   0x00-0x7F  short: the lead byte is the length (0 to 127), the text follows
//   0x80-0xBF  medium: (lead & 0x3F) * 256 + the next byte is the length (0 to 16383)
//   0xC0-0xFD  never written: a payload reads them as medium, the dict block refuses them
//   0xFE       long: a 24-bit length follows (0 to 16777215), then the text
//   0xFF       a reference: a u32 index into the dict strings follows (payloads only)
inline constexpr uint8_t STRING_MEDIUM = 0x80;
inline constexpr uint8_t STRING_UNWRITTEN = 0xC0;  // the first lead byte that no writer writes
inline constexpr uint8_t STRING_LONG = 0xFE;
inline constexpr uint8_t STRING_REF = 0xFF;

// The prefix bytes of each form, the lead byte included; a reference is its whole size.
inline constexpr size_t SHORT_PREFIX_SIZE = 1;
inline constexpr size_t MEDIUM_PREFIX_SIZE = 2;
inline constexpr size_t LONG_PREFIX_SIZE = 4;
inline constexpr size_t STRING_REF_SIZE = 5;

// The longest string that each form holds.
inline constexpr size_t MAX_SHORT_STRING_LEN = 127;
inline constexpr size_t MAX_MEDIUM_STRING_LEN = 16383;
inline constexpr uint32_t MAX_INLINE_STRING_LEN = 16777215;

// Whether a writer writes this lead byte in a string that is not a reference: the only lead bytes
// a dict string may have.
constexpr bool is_written_string_lead(uint8_t lead) noexcept {
  return lead < STRING_UNWRITTEN || lead == STRING_LONG;
}

// The length a medium-form prefix holds (lead byte 0x80 to 0xFD at p, one byte after it).
constexpr size_t medium_string_length(const uint8_t* p) noexcept {
  return static_cast<size_t>(p[0] & 0x3F) << 8 | p[1];
}
// The length a long-form prefix holds (lead byte 0xFE at p, three bytes after it).
constexpr size_t long_string_length(const uint8_t* p) noexcept { return load_u24(p + 1); }
// The dict index a reference holds (lead byte 0xFF at p, four bytes after it).
constexpr uint32_t string_ref_index(const uint8_t* p) noexcept { return load_u32(p + 1); }

// Bytes of the length prefix that an n-byte string gets in the smallest form (n at most
// MAX_INLINE_STRING_LEN): 1 short, 2 medium, 4 long.
constexpr size_t string_prefix_size(size_t n) noexcept {
  return n <= MAX_SHORT_STRING_LEN    ? SHORT_PREFIX_SIZE
         : n <= MAX_MEDIUM_STRING_LEN ? MEDIUM_PREFIX_SIZE
                                      : LONG_PREFIX_SIZE;
}

// Writes the string_prefix_size(n) bytes of that prefix at p; returns the byte after them.
constexpr uint8_t* put_string_prefix(uint8_t* p, size_t n) noexcept {
  if (n <= MAX_SHORT_STRING_LEN) {
    *p++ = static_cast<uint8_t>(n);
  } else if (n <= MAX_MEDIUM_STRING_LEN) {
    *p++ = static_cast<uint8_t>(STRING_MEDIUM | (n >> 8));
    *p++ = static_cast<uint8_t>(n & 0xFF);
  } else {
    *p++ = STRING_LONG;
    p = put_u24(p, static_cast<uint32_t>(n));
  }
  return p;
}

// Writes a reference to dict string `index` at p; returns the byte after it.
constexpr uint8_t* put_string_ref(uint8_t* p, uint32_t index) noexcept {
  p[0] = STRING_REF;
  return put_u32(p + 1, index);
}

}  // namespace vorn

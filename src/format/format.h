// The VORN image model: type tags, format constants and limits, and the in-memory Document that
// mirrors an image one to one. Free of Python; included by every other part of the library.
//
// Image layout (all numbers little-endian):
//   header (13 bytes): u8 version, u32 def block offset, u32 dict block offset, u32 data offset
//   definitions: u16 count, then per definition u8 kind, u16 id and, by kind, u8 elem_type
//                (Array) or u16 field count and per field u8 name length, name, u8 tag (Object)
//   dict: empty, or u32 count and that many strings (short, medium or long form)
//   data: u32 entry count, then per entry u16 definition index, u32 payload length, payload
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/codec.h"
#include "format/result.h"

namespace vorn {

enum class TypeTag : uint8_t {
  Null = 0,
  Bool = 1,
  Int32 = 2,
  UInt32 = 3,
  Float32 = 4,
  String = 5,
  Array = 16,
  Object = 17,
};

inline constexpr uint8_t FORMAT_VERSION = 1;

// The sizes of the fixed parts of an image, in bytes.
// The header: u8 version, u32 offsets of the definition, dict and data blocks.
inline constexpr uint32_t HEADER_SIZE = 13;
// The counts that open the definition block (u16), the dict block (u32, absent when the block is
// empty) and the data block (u32).
inline constexpr size_t DEFINITION_COUNT_SIZE = 2;
inline constexpr size_t DICT_COUNT_SIZE = 4;
inline constexpr size_t ENTRY_COUNT_SIZE = 4;
// A definition: u8 kind and u16 id; an Array definition adds its u8 elem_type, an Object
// definition its u16 field count and then, per field, u8 name length, the name and u8 tag.
inline constexpr size_t DEFINITION_HEAD_SIZE = 3;
inline constexpr size_t ARRAY_DEFINITION_SIZE = 4;
inline constexpr size_t OBJECT_DEFINITION_HEAD_SIZE = 5;
inline constexpr size_t FIELD_OVERHEAD = 2;  // a field's bytes besides its name
// An entry's header: u16 definition index, u32 payload length.
inline constexpr size_t ENTRY_HEADER_SIZE = 6;
// The head of an array payload: u16 self_def_index, u16 elem_def_index, u16 count.
inline constexpr size_t ARRAY_HEADER_SIZE = 6;
// The head of an object payload: u16 self_def_index.
inline constexpr size_t OBJECT_HEADER_SIZE = 2;
// The payloads of the scalar tags of one size: Bool one byte, Int32, UInt32 and Float32 four.
inline constexpr size_t BOOL_SIZE = 1;
inline constexpr size_t NUMBER_SIZE = 4;
inline constexpr uint32_t MAX_DEFINITIONS = 2048;
inline constexpr uint32_t MAX_ENCODED_DEFINITIONS = 65535;
inline constexpr uint32_t MAX_OBJECT_FIELDS = 256;
inline constexpr uint32_t MAX_FIELD_NAME_LEN = 255;
inline constexpr uint32_t MAX_DATA_ENTRIES = 1048576;
inline constexpr uint32_t MAX_DEPTH = 128;
// A u16 count bounds the items of an array and the fields of an object definition.
inline constexpr uint32_t MAX_ARRAY_ITEMS = 65535;
inline constexpr uint32_t MAX_ENCODED_FIELDS = 65535;
// Every offset, count and payload length of an image is a u32.
inline constexpr uint64_t MAX_IMAGE_SIZE = 4294967295;

// A double rounded to the nearest float (ties to even); magnitudes beyond the float range become
// infinities of the same sign and NaN stays NaN. The one narrowing of both producers: the
// compiler's JSON numbers and emit's Python floats.
inline float narrow_to_float(double d) noexcept {
  // A cast of a double beyond the float range is undefined, so those are settled here. The
  // smallest magnitude that rounds to infinity is FLT_MAX plus half its ulp (2^128 - 2^103); a
  // tie there rounds to the even neighbour, 2^128.
  constexpr double FLOAT_MAX = 0x1.fffffep127;
  constexpr double FLOAT_OVERFLOW = 0x1.ffffffp127;
  const double magnitude = d < 0 ? -d : d;
  if (magnitude > FLOAT_MAX) {
    const float big = magnitude >= FLOAT_OVERFLOW ? std::numeric_limits<float>::infinity()
                                                  : std::numeric_limits<float>::max();
    return std::signbit(d) ? -big : big;
  }
  return static_cast<float>(d);
}

// A stored Bool byte reads as true when it is not zero; writers store 0 or 1.
constexpr bool bool_of(uint8_t byte) noexcept { return byte != 0; }

// True for the eight bytes that are TypeTags: 0 to 5, 16 and 17.
constexpr bool is_valid_tag(uint8_t byte) noexcept { return byte <= 5 || byte == 16 || byte == 17; }

// The payload width of the tags whose payloads all have one size that is not zero: Bool 1,
// Int32, UInt32 and Float32 4. 0 for the others: Null takes no bytes, the payloads of String,
// Array and Object vary.
constexpr size_t fixed_width(TypeTag tag) noexcept {
  switch (tag) {
    case TypeTag::Bool:
      return BOOL_SIZE;
    case TypeTag::Int32:
    case TypeTag::UInt32:
    case TypeTag::Float32:
      return NUMBER_SIZE;
    default:
      return 0;
  }
}

// Whether a tag is one of the three kinds of number. An array whose items are numbers of more
// than one kind holds Float32.
constexpr bool is_number_tag(TypeTag tag) noexcept {
  return tag == TypeTag::Int32 || tag == TypeTag::UInt32 || tag == TypeTag::Float32;
}

// Every writer of this system starts its definition table with PREDEFINED_COUNT definitions, one
// per scalar tag, each with the id and position that equal its tag: Null, Bool, Int32, UInt32,
// Float32, String. An entry or an array element of a scalar kind names its definition by that.
inline constexpr size_t PREDEFINED_COUNT = 6;
constexpr uint16_t predefined_id(TypeTag scalar) noexcept { return static_cast<uint16_t>(scalar); }

// The predefined definitions as the definition block lays them out: kind, then the id as a u16.
// The one table of them: the decoder compares an image's first definitions with it and the
// writers copy it.
inline constexpr size_t PREDEFINED_BLOCK_SIZE = DEFINITION_HEAD_SIZE * PREDEFINED_COUNT;
inline constexpr std::array<uint8_t, PREDEFINED_BLOCK_SIZE> PREDEFINED_BLOCK = [] {
  std::array<uint8_t, PREDEFINED_BLOCK_SIZE> block{};
  for (size_t i = 0; i < PREDEFINED_COUNT; ++i) {
    const auto kind = static_cast<TypeTag>(i);
    uint8_t* p = block.data() + DEFINITION_HEAD_SIZE * i;
    p[0] = static_cast<uint8_t>(kind);
    put_u16(p + 1, predefined_id(kind));
  }
  return block;
}();

// The name of a tag as messages print it ("Int32", "Array", ...); "?" for a byte that is no tag.
std::string_view tag_name(TypeTag tag) noexcept;

// The refusal of an array whose item `index` has the kind `found` where the array's element
// kind is `expected`: "Array item {index} is {found} but elem_type is {expected}". Both
// producers, the compiler and the emitter, refuse such arrays rather than write images that do
// not describe their values.
FormatError array_item_mismatch(size_t index, TypeTag found, TypeTag expected);

// The one-character code of a tag in definition lookup keys: 0-5 give '0'-'5', Array '6',
// Object '7', anything else '?'.
constexpr char kind_char(TypeTag tag) noexcept {
  const auto b = static_cast<uint8_t>(tag);
  if (b <= 5) return static_cast<char>('0' + b);
  if (b == 16) return '6';
  if (b == 17) return '7';
  return '?';
}

struct FieldDef {
  std::string name;  // at most MAX_FIELD_NAME_LEN bytes of UTF-8 in a writable definition
  TypeTag tag = TypeTag::Null;
};

struct Definition {
  TypeTag kind = TypeTag::Null;
  uint16_t id = 0;
  std::optional<TypeTag> elem_type;             // present for Array definitions only
  std::optional<std::vector<FieldDef>> fields;  // present for Object definitions only
};

using StringDict = std::vector<std::string>;

enum class ValueKind : uint8_t {
  Null,
  Bool,
  Int32,
  UInt32,
  Float32,
  String,
  StrRef,
  Array,
  Object
};

// The payload tree of an entry. Scalars keep their 32 bits in `bits`; a StrRef keeps its dict
// index there. Arrays keep their elements and objects their field values in `items`.
struct Value {
  ValueKind kind = ValueKind::Null;
  uint8_t boolean = 0;
  uint16_t self_def_index = 0;
  uint16_t elem_def_index = 0;
  uint32_t bits = 0;
  std::string text;
  std::vector<Value> items;

  static Value null() { return Value{}; }
  static Value make_bool(bool b) {
    Value v;
    v.kind = ValueKind::Bool;
    v.boolean = b ? 1 : 0;
    return v;
  }
  static Value int32(int32_t i) { return scalar(ValueKind::Int32, static_cast<uint32_t>(i)); }
  static Value uint32(uint32_t u) { return scalar(ValueKind::UInt32, u); }
  static Value float32(float f) { return scalar(ValueKind::Float32, std::bit_cast<uint32_t>(f)); }
  static Value str_ref(uint32_t index) { return scalar(ValueKind::StrRef, index); }
  static Value string(std::string s) {
    Value v;
    v.kind = ValueKind::String;
    v.text = std::move(s);
    return v;
  }
  static Value array(uint16_t self_def, uint16_t elem_def, std::vector<Value> items) {
    Value v;
    v.kind = ValueKind::Array;
    v.self_def_index = self_def;
    v.elem_def_index = elem_def;
    v.items = std::move(items);
    return v;
  }
  static Value object(uint16_t self_def, std::vector<Value> values) {
    Value v;
    v.kind = ValueKind::Object;
    v.self_def_index = self_def;
    v.items = std::move(values);
    return v;
  }

  int32_t as_int32() const noexcept { return static_cast<int32_t>(bits); }
  uint32_t as_uint32() const noexcept { return bits; }
  float as_float32() const noexcept { return std::bit_cast<float>(bits); }
  uint32_t ref_index() const noexcept { return bits; }

 private:
  static Value scalar(ValueKind k, uint32_t b) {
    Value v;
    v.kind = k;
    v.bits = b;
    return v;
  }
};

// The TypeTag a value stands under: StrRef stands under String.
constexpr TypeTag tag_of(ValueKind k) noexcept {
  switch (k) {
    case ValueKind::Null:
      return TypeTag::Null;
    case ValueKind::Bool:
      return TypeTag::Bool;
    case ValueKind::Int32:
      return TypeTag::Int32;
    case ValueKind::UInt32:
      return TypeTag::UInt32;
    case ValueKind::Float32:
      return TypeTag::Float32;
    case ValueKind::String:
    case ValueKind::StrRef:
      return TypeTag::String;
    case ValueKind::Array:
      return TypeTag::Array;
    case ValueKind::Object:
      return TypeTag::Object;
  }
  return TypeTag::Null;
}

struct DataEntry {
  uint16_t def_index = 0;  // a position in Document::definitions
  Value value;
};

struct Document {
  std::vector<Definition> definitions;
  StringDict strings;
  std::vector<DataEntry> entries;
  uint8_t version = FORMAT_VERSION;
  // The header's offsets as the decoder read them; the encoder computes its own.
  uint32_t def_block_offset = HEADER_SIZE;
  uint32_t dict_block_offset = 0;
  uint32_t data_block_offset = 0;
};

// The predefined definitions as Definitions, read from PREDEFINED_BLOCK: the table with which
// every Document built by the compiler or the emitter starts.
std::vector<Definition> predefined_definitions();

}  // namespace vorn

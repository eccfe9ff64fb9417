#include "decode/decode.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "decode/utf8.h"
#include "decode/walker.h"
#include "format/codec.h"
#include "format/reader_refusals.h"

namespace vorn {

namespace {

std::string hex_byte(uint8_t b) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(b));
  return buf;
}

FormatError unknown_tag(uint8_t b) {
  return FormatError{"Unknown VORN type tag: 0x" + hex_byte(b)};
}

// The predefined definitions as read_definitions would read them from PREDEFINED_BLOCK.
constexpr std::array<DefView, PREDEFINED_COUNT> PREDEFINED_DEFS = [] {
  std::array<DefView, PREDEFINED_COUNT> defs{};
  for (size_t i = 0; i < PREDEFINED_COUNT; ++i) {
    defs[i].kind = static_cast<TypeTag>(PREDEFINED_BLOCK[DEFINITION_HEAD_SIZE * i]);
    defs[i].id = load_u16(PREDEFINED_BLOCK.data() + DEFINITION_HEAD_SIZE * i + 1);
  }
  return defs;
}();

std::string_view view_of(const uint8_t* p, size_t n) {
  return {reinterpret_cast<const char*>(p), n};
}

// Header: version and the three block offsets, each bounded by the one before it. `head` holds
// the first bytes of an image of `size` bytes: all of them, or at least HEADER_SIZE.
Status read_header(std::span<const uint8_t> head, uint64_t size, ImageLayout& layout) {
  if (size < HEADER_SIZE || head.size() < HEADER_SIZE) {
    return FormatError{"Header requires 13 bytes, got " + std::to_string(size)};
  }
  const uint8_t* b = head.data();
  layout.version = b[0];
  layout.def_block_offset = load_u32(b + 1);
  layout.dict_block_offset = load_u32(b + 5);
  layout.data_block_offset = load_u32(b + 9);
  layout.header_read = true;
  const uint32_t d = layout.def_block_offset;
  const uint32_t s = layout.dict_block_offset;
  const uint32_t a = layout.data_block_offset;
  if (layout.version != FORMAT_VERSION) {
    return FormatError{"Unsupported VORN version: " + std::to_string(layout.version)};
  }
  if (d < HEADER_SIZE)
    return FormatError{"Def block offset " + std::to_string(d) + " before header"};
  if (s < d) return FormatError{"Dict block offset " + std::to_string(s) + " before defs"};
  if (a < s) return FormatError{"Data block offset " + std::to_string(a) + " before dict"};
  if (a > size) {
    return FormatError{"Data block offset " + std::to_string(a) + " exceeds buffer length " +
                       std::to_string(size)};
  }
  layout.header_valid = true;
  return {};
}

// Reads the fields of one object definition from position p of the block.
Status read_fields(const uint8_t* block, size_t size, size_t& p, uint32_t count,
                   ImageLayout& layout) {
  for (uint32_t j = 0; j < count; ++j) {
    if (p >= size) return FormatError{"Truncated field " + std::to_string(j) + " name length"};
    const size_t k = block[p];
    // The name and the tag byte after it must both lie in the block.
    if (p + k + FIELD_OVERHEAD > size)
      return FormatError{"Truncated field " + std::to_string(j) + " name data"};
    const Utf8Check check = check_utf8(block + p + 1, k);
    if (!check.ok) return FormatError{"Invalid UTF-8 in field name: " + utf8_error_text(check)};
    const uint8_t tag = block[p + k + 1];
    if (!is_valid_tag(tag)) return unknown_tag(tag);
    layout.fields.push_back(
        FieldView{view_of(block + p + 1, k), static_cast<TypeTag>(tag), check.ascii});
    p += k + FIELD_OVERHEAD;
  }
  return {};
}

Status read_definitions(const uint8_t* block, size_t size, ImageLayout& layout) {
  if (size < DEFINITION_COUNT_SIZE)
    return FormatError{"Definition block too short: " + std::to_string(size) + " bytes"};
  const uint32_t n = load_u16(block);
  layout.declared.definitions = n;
  if (n > MAX_DEFINITIONS) {
    return definition_count_exceeded(n);
  }
  const size_t required = DEFINITION_HEAD_SIZE * n + DEFINITION_COUNT_SIZE;
  if (size < required) {
    return FormatError{"Definition block has " + std::to_string(size) + " bytes but " +
                       std::to_string(n) + " defs require " + std::to_string(required)};
  }
  layout.defs.reserve(n);
  // Every field takes at least two bytes; most names are several bytes long.
  layout.fields.reserve(size / 8);
  size_t p = DEFINITION_COUNT_SIZE;
  uint32_t i = 0;
  // Every writer of this system starts the table with the predefined definitions: when the
  // block does, they are taken as one prepared block (they pass every check below).
  if (n >= PREDEFINED_COUNT && size >= p + PREDEFINED_BLOCK.size() &&
      std::memcmp(block + p, PREDEFINED_BLOCK.data(), PREDEFINED_BLOCK.size()) == 0) {
    layout.defs.append(PREDEFINED_DEFS.data(), PREDEFINED_COUNT);
    i = PREDEFINED_COUNT;
    p += PREDEFINED_BLOCK.size();
  }
  for (; i < n; ++i) {
    if (p >= size) return FormatError{"Truncated definition block at entry " + std::to_string(i)};
    const uint8_t kind = block[p];
    if (!is_valid_tag(kind)) return unknown_tag(kind);
    if (p + DEFINITION_HEAD_SIZE > size) return FormatError{"Truncated definition index"};
    DefView def;
    def.kind = static_cast<TypeTag>(kind);
    def.id = load_u16(block + p + 1);
    if (def.kind == TypeTag::Array) {
      if (p + ARRAY_DEFINITION_SIZE > size) return FormatError{"Truncated array elem_type"};
      const uint8_t elem = block[p + 3];
      if (!is_valid_tag(elem)) return unknown_tag(elem);
      def.has_elem_type = true;
      def.elem_type = static_cast<TypeTag>(elem);
      p += ARRAY_DEFINITION_SIZE;
    } else if (def.kind == TypeTag::Object) {
      if (p + OBJECT_DEFINITION_HEAD_SIZE > size) {
        return FormatError{"Truncated object field count"};
      }
      const uint32_t m = load_u16(block + p + 3);
      if (m > MAX_OBJECT_FIELDS) {
        return object_field_count_exceeded(def.id, m, MAX_OBJECT_FIELDS);
      }
      p += OBJECT_DEFINITION_HEAD_SIZE;
      def.has_fields = true;
      def.first_field = static_cast<uint32_t>(layout.fields.size());
      def.field_count = m;
      if (Status st = read_fields(block, size, p, m, layout); !st) return st;
    } else {
      p += DEFINITION_HEAD_SIZE;
    }
    layout.defs.push_back(def);
  }
  return {};
}

Status read_dict(const uint8_t* block, size_t size, ImageLayout& layout) {
  if (size == 0) {
    layout.declared.dict_strings = 0;
    return {};
  }
  if (size < DICT_COUNT_SIZE) return FormatError{"Dict block too short for entry count"};
  const uint32_t count = load_u32(block);
  layout.declared.dict_strings = count;
  // The count has no maximum, but every string takes at least one byte.
  layout.strings.reserve(std::min<size_t>(count, size - DICT_COUNT_SIZE));
  size_t p = DICT_COUNT_SIZE;
  for (uint32_t i = 0; i < count; ++i) {
    if (p >= size) return FormatError{"Truncated dict string"};
    const uint8_t b = block[p];
    if (!is_written_string_lead(b)) {
      return FormatError{"Invalid dict string encoding byte: 0x" + hex_byte(b)};
    }
    size_t prefix;
    size_t length;
    if (b < STRING_MEDIUM) {
      prefix = SHORT_PREFIX_SIZE;
      length = b;
    } else if (b == STRING_LONG) {
      if (size - p < LONG_PREFIX_SIZE) return FormatError{"Truncated long dict string"};
      prefix = LONG_PREFIX_SIZE;
      length = long_string_length(block + p);
    } else {
      if (size - p < MEDIUM_PREFIX_SIZE) return FormatError{"Truncated medium dict string"};
      prefix = MEDIUM_PREFIX_SIZE;
      length = medium_string_length(block + p);
    }
    if (size - p < prefix + length) return FormatError{"Truncated dict string data"};
    const Utf8Check check = check_utf8(block + p + prefix, length);
    if (!check.ok) return FormatError{"Invalid UTF-8 in dict: " + utf8_error_text(check)};
    layout.strings.push_back(view_of(block + p + prefix, length));
    p += prefix + length;
  }
  return {};
}

Status read_data_header(const uint8_t* block, size_t size, ImageLayout& layout) {
  if (size < ENTRY_COUNT_SIZE) {
    return FormatError{"Data block too short: " + std::to_string(size) + " bytes"};
  }
  const uint32_t e = load_u32(block);
  layout.declared.entries = e;
  if (e > MAX_DATA_ENTRIES) {
    return FormatError{"Data entry count " + std::to_string(e) + " exceeds max " +
                       std::to_string(MAX_DATA_ENTRIES)};
  }
  layout.data = {block, size};
  layout.entry_count = e;
  return {};
}

// Builds the Value tree of each entry. Finished values wait on a stack until their array or
// object ends and takes them, so nothing is reserved from a count before its items exist.
class DocumentSink {
 public:
  explicit DocumentSink(std::vector<DataEntry>& entries) : entries_(entries) {}

  bool null_value(uint32_t) { return push(Value::null()); }
  bool null_items(uint32_t count) {
    stack_.resize(stack_.size() + count);
    return true;
  }
  bool bool_value(bool b) { return push(Value::make_bool(b)); }
  bool int32_value(int32_t i) { return push(Value::int32(i)); }
  bool uint32_value(uint32_t u) { return push(Value::uint32(u)); }
  bool float32_value(uint32_t bits) { return push(Value::float32(std::bit_cast<float>(bits))); }
  bool string_value(const uint8_t* s, uint32_t n, bool) {
    return push(Value::string(std::string(reinterpret_cast<const char*>(s), n)));
  }
  bool str_ref(uint32_t index, uint32_t) { return push(Value::str_ref(index)); }
  bool end_array(uint16_t self_def, uint16_t elem_def, uint32_t count) {
    push(Value::array(self_def, elem_def, take(count)));
    return true;
  }
  bool fixed_array(uint16_t self_def, uint16_t elem_def, TypeTag elem, const uint8_t* p,
                   uint32_t count) {
    std::vector<Value> items;
    items.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      switch (elem) {
        case TypeTag::Bool:
          items.push_back(Value::make_bool(bool_of(p[i])));
          break;
        case TypeTag::Int32:
          items.push_back(Value::int32(static_cast<int32_t>(load_u32(p + NUMBER_SIZE * i))));
          break;
        case TypeTag::UInt32:
          items.push_back(Value::uint32(load_u32(p + NUMBER_SIZE * i)));
          break;
        default:
          items.push_back(Value::float32(std::bit_cast<float>(load_u32(p + NUMBER_SIZE * i))));
          break;
      }
    }
    return push(Value::array(self_def, elem_def, std::move(items)));
  }
  bool begin_object(uint16_t, uint32_t) { return true; }
  bool end_object(uint16_t self_def, uint32_t count) {
    push(Value::object(self_def, take(count)));
    return true;
  }
  bool begin_entry(uint32_t, uint16_t, uint32_t) { return true; }
  bool end_entry(uint16_t def_index) {
    entries_.push_back(DataEntry{def_index, std::move(stack_.back())});
    stack_.pop_back();
    return true;
  }

 private:
  bool push(Value v) {
    stack_.push_back(std::move(v));
    return true;
  }
  std::vector<Value> take(uint32_t count) {
    const auto first = stack_.end() - static_cast<std::ptrdiff_t>(count);
    std::vector<Value> items(std::make_move_iterator(first), std::make_move_iterator(stack_.end()));
    stack_.erase(first, stack_.end());
    return items;
  }

  std::vector<DataEntry>& entries_;
  std::vector<Value> stack_;
};

}  // namespace

Status check_header(std::span<const uint8_t> prefix, uint64_t image_size) {
  ImageLayout layout;
  return read_header(prefix, image_size, layout);
}

Status read_layout(std::span<const uint8_t> image, ImageLayout& layout) {
  if (Status st = read_header(image, image.size(), layout); !st) return st;
  const uint8_t* b = image.data();
  const uint32_t d = layout.def_block_offset;
  const uint32_t s = layout.dict_block_offset;
  const uint32_t a = layout.data_block_offset;
  if (Status st = read_definitions(b + d, s - d, layout); !st) return st;
  if (Status st = read_dict(b + s, a - s, layout); !st) return st;
  return read_data_header(b + a, image.size() - a, layout);
}

Status validate_image(std::span<const uint8_t> image, ImageLayout& layout) {
  if (Status st = read_layout(image, layout); !st) return st;
  CheckingSink sink;
  PayloadWalker<CheckingSink> walker(layout, sink);
  if (!walker.walk_entries()) return FormatError{walker.error()};
  return {};
}

Result<Document> decode_document(std::span<const uint8_t> image) {
  ImageLayout layout;
  if (Status st = read_layout(image, layout); !st) return st.error();

  Document doc;
  doc.version = layout.version;
  doc.def_block_offset = layout.def_block_offset;
  doc.dict_block_offset = layout.dict_block_offset;
  doc.data_block_offset = layout.data_block_offset;
  doc.definitions.reserve(layout.defs.size());
  for (const DefView& view : layout.defs) {
    Definition def;
    def.kind = view.kind;
    def.id = view.id;
    if (view.has_elem_type) def.elem_type = view.elem_type;
    if (view.has_fields) {
      std::vector<FieldDef> fields;
      fields.reserve(view.field_count);
      for (const FieldView& f : layout.fields_of(view)) {
        fields.push_back(FieldDef{std::string(f.name), f.tag});
      }
      def.fields = std::move(fields);
    }
    doc.definitions.push_back(std::move(def));
  }
  doc.strings.reserve(layout.strings.size());
  for (std::string_view s : layout.strings) doc.strings.emplace_back(s);

  // Every entry takes at least its header's bytes.
  doc.entries.reserve(std::min<size_t>(
      layout.entry_count, (layout.data.size() - ENTRY_COUNT_SIZE) / ENTRY_HEADER_SIZE));
  DocumentSink sink(doc.entries);
  PayloadWalker<DocumentSink> walker(layout, sink);
  if (!walker.walk_entries()) return FormatError{walker.error()};
  return doc;
}

}  // namespace vorn

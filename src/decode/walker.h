// The walk over the data block of an image, shared by everything that reads payloads: it makes
// every check of the data block in order and hands each value it reads to a sink. The decoder's
// Document builder, the validator (CheckingSink below, which builds nothing) and the builder of
// Python objects are such sinks.
//
// A sink provides the hooks below; each returns false to stop the walk (the sink then holds its
// own error). An inline string reaches string_value only once it has passed the UTF-8 check,
// with `ascii` true when all its bytes are below 0x80.
//   null_value(depth), null_items(count), bool_value(b), int32_value(i), uint32_value(u),
//   float32_value(bits), string_value(bytes, length, ascii), str_ref(index, depth),
//   end_array(self_def_index, elem_def_index, count), begin_object(self_def_index, values),
//   fixed_array(self_def_index, elem_def_index, elem_type, bytes, count) for a whole array of
//   Bool, Int32, UInt32 or Float32 elements whose bytes are all present,
//   end_object(self_def_index, values),
//   begin_entry(index, def_index, payload_size) once the entry header has passed its checks,
//   end_entry(def_index) once its payload has
// and, only where a sink has them (a byte counter; see decode_value):
//   value_start(tag, begin, end, depth) before a value is read, `end` ending the payload,
//   value_span(tag, begin, end, depth) once it has been read whole
// `depth` is the nesting level the value has: 1 for the value of an entry itself, one more for
// each enclosing array or object.
#pragma once

#include <cstdint>
#include <string>

#include "decode/decode.h"
#include "decode/utf8.h"
#include "format/codec.h"
#include "format/format.h"

namespace vorn {

template <class Sink>
class PayloadWalker {
 public:
  PayloadWalker(const ImageLayout& layout, Sink& sink) : layout_(layout), sink_(sink) {}

  // Reads every entry of the data block. On false, error() holds the walker's message, or is
  // empty when the sink stopped the walk.
  bool walk_entries() {
    const uint8_t* const base = layout_.data.data();
    const size_t size = layout_.data.size();
    size_t p = ENTRY_COUNT_SIZE;
    for (uint32_t i = 0; i < layout_.entry_count; ++i) {
      if (size - p < ENTRY_HEADER_SIZE) {
        return fail("Truncated entry " + std::to_string(i) + " header");
      }
      const uint16_t x = load_u16(base + p);
      const uint32_t len = load_u32(base + p + 2);
      if (size - p - ENTRY_HEADER_SIZE < len) {
        return fail("Entry " + std::to_string(i) + " payload (" + std::to_string(len) +
                    " bytes) exceeds buffer");
      }
      if (x >= layout_.defs.size()) return unknown_definition(x);
      if (!sink_.begin_entry(i, x, len)) return false;
      const uint8_t* const start = base + p + ENTRY_HEADER_SIZE;
      const uint8_t* const end = start + len;
      const uint8_t* q = start;
      if (!decode_value(layout_.defs[x].kind, q, end, 1)) return false;
      const auto consumed = static_cast<size_t>(q - start);
      if (consumed != len) {
        return fail("Mismatch entry " + std::to_string(i) + ": consumed " +
                    std::to_string(consumed) + " of " + std::to_string(len));
      }
      if (!sink_.end_entry(x)) return false;
      p += ENTRY_HEADER_SIZE + static_cast<size_t>(len);
    }
    return true;
  }

  const std::string& error() const noexcept { return error_; }

 private:
  // Out of line and marked cold, so that the checks stay small on the hot paths.
  [[gnu::cold, gnu::noinline]] bool fail(const char* message) {
    error_ = message;
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool unknown_definition(uint32_t index) {
    return fail("Unknown definition index: " + std::to_string(index));
  }

  // Reads one value of the given tag from p (advanced past it); `end` is the end of the
  // entry's payload. A sink that counts bytes (it has value_start and value_span) learns where
  // each value begins and ends, except the elements of a fixed_array and of an array of Null,
  // which no hook names one by one; for every other sink this is decode_any itself.
  [[gnu::always_inline]] bool decode_value(TypeTag tag, const uint8_t*& p, const uint8_t* end,
                                           uint32_t depth) {
    if constexpr (requires { sink_.value_span(tag, p, p, depth); }) {
      const uint8_t* const begin = p;
      sink_.value_start(tag, begin, end, depth);
      if (!decode_any(tag, p, end, depth)) return false;
      return sink_.value_span(tag, begin, p, depth);
    } else {
      return decode_any(tag, p, end, depth);
    }
  }

  bool decode_any(TypeTag tag, const uint8_t*& p, const uint8_t* end, uint32_t depth) {
    switch (tag) {
      case TypeTag::Array:
        return decode_array(p, end, depth);
      case TypeTag::Object:
        return decode_object(p, end, depth);
      default:
        return decode_primitive(tag, p, end, depth);
    }
  }

  [[gnu::always_inline]] bool decode_primitive(TypeTag tag, const uint8_t*& p, const uint8_t* end,
                                               uint32_t depth) {
    const auto r = static_cast<size_t>(end - p);
    switch (tag) {
      case TypeTag::Null:
        return sink_.null_value(depth);
      case TypeTag::Bool:
        if (r < BOOL_SIZE) return fail("Expected bool byte");
        return sink_.bool_value(bool_of(*p++));
      case TypeTag::Int32:
        if (r < NUMBER_SIZE) return fail("Expected int32 (4 bytes)");
        p += NUMBER_SIZE;
        return sink_.int32_value(static_cast<int32_t>(load_u32(p - NUMBER_SIZE)));
      case TypeTag::UInt32:
        if (r < NUMBER_SIZE) return fail("Expected uint32 (4 bytes)");
        p += NUMBER_SIZE;
        return sink_.uint32_value(load_u32(p - NUMBER_SIZE));
      case TypeTag::Float32:
        if (r < NUMBER_SIZE) return fail("Expected float32 (4 bytes)");
        p += NUMBER_SIZE;
        return sink_.float32_value(load_u32(p - NUMBER_SIZE));
      case TypeTag::String:
        return decode_string(p, r, depth);
      default:
        // Only the six primitive tags reach here: compound tags go to their own decoders and
        // every tag in a layout is a valid one.
        return fail("Unknown VORN type tag");
    }
  }

  bool decode_string(const uint8_t*& p, size_t r, uint32_t depth) {
    if (r < 1) return fail("Expected string/StrRef byte");
    const uint8_t b = p[0];
    size_t prefix;
    size_t length;
    if (b < STRING_MEDIUM) {
      prefix = SHORT_PREFIX_SIZE;
      length = b;
      if (r < prefix + length) return truncated("short", prefix + length, r);
    } else if (b < STRING_LONG) {
      // 0xC0-0xFD are never written; in a payload they read as the medium form.
      if (r < MEDIUM_PREFIX_SIZE) return fail("Truncated medium string length");
      prefix = MEDIUM_PREFIX_SIZE;
      length = medium_string_length(p);
      if (r < prefix + length) return truncated("medium", prefix + length, r);
    } else if (b == STRING_LONG) {
      if (r < LONG_PREFIX_SIZE) return fail("Truncated long string length");
      prefix = LONG_PREFIX_SIZE;
      length = long_string_length(p);
      if (r < prefix + length) return truncated("long", prefix + length, r);
    } else {
      if (r < STRING_REF_SIZE) return fail("Truncated StrRef dict index");
      const uint32_t index = string_ref_index(p);
      p += STRING_REF_SIZE;
      return sink_.str_ref(index, depth);
    }
    const uint8_t* const text = p + prefix;
    const Utf8Check check = check_utf8(text, length);
    if (!check.ok) return fail("Invalid UTF-8 string: " + utf8_error_text(check));
    p += prefix + length;
    return sink_.string_value(text, static_cast<uint32_t>(length), check.ascii);
  }

  [[gnu::cold, gnu::noinline]] bool truncated(const char* form, size_t need, size_t got) {
    return fail(std::string("Truncated ") + form + " string: need " + std::to_string(need) +
                " bytes, got " + std::to_string(got));
  }

  bool decode_array(const uint8_t*& p, const uint8_t* end, uint32_t depth) {
    if (depth > MAX_DEPTH) return fail("Max recursion depth");
    const auto r = static_cast<size_t>(end - p);
    if (r < 2) return fail("Truncated array self_def_index");
    const uint16_t idx = load_u16(p);
    if (idx >= layout_.defs.size()) return unknown_definition(idx);
    const DefView& def = layout_.defs[idx];
    if (!def.has_elem_type) return fail("Array #" + std::to_string(idx) + " has no elem_type");
    if (r < 4) return fail("Truncated array elem_def_index");
    if (r < ARRAY_HEADER_SIZE) return fail("Truncated array count");
    const uint16_t elem_def = load_u16(p + 2);
    const uint16_t count = load_u16(p + 4);
    p += ARRAY_HEADER_SIZE;
    const TypeTag elem = def.elem_type;
    const size_t width = fixed_width(elem);
    if (width != 0 && static_cast<size_t>(end - p) >= count * width) {
      // Every element is there: the sink takes them all at once.
      const uint8_t* const items = p;
      p += count * width;
      return sink_.fixed_array(idx, elem_def, elem, items, count);
    }
    if (elem == TypeTag::Null) {
      // Null elements take no bytes: there is nothing to read, only to count.
      if (!sink_.null_items(count)) return false;
    } else {
      for (uint32_t i = 0; i < count; ++i) {
        if (!decode_value(elem, p, end, depth + 1)) return false;
      }
    }
    return sink_.end_array(idx, elem_def, count);
  }

  bool decode_object(const uint8_t*& p, const uint8_t* end, uint32_t depth) {
    if (depth > MAX_DEPTH) return fail("Max recursion depth 128 exceeded at Object");
    const auto r = static_cast<size_t>(end - p);
    if (r < OBJECT_HEADER_SIZE) return fail("Truncated object self_def_index");
    const uint16_t idx = load_u16(p);
    if (idx >= layout_.defs.size()) return unknown_definition(idx);
    const DefView& def = layout_.defs[idx];
    if (!def.has_fields) return fail("Object #" + std::to_string(idx) + " has no fields");
    p += OBJECT_HEADER_SIZE;
    if (!sink_.begin_object(idx, def.field_count)) return false;
    const FieldView* field = layout_.fields.data() + def.first_field;
    for (uint32_t i = 0; i < def.field_count; ++i, ++field) {
      if (!decode_value(field->tag, p, end, depth + 1)) return false;
    }
    return sink_.end_object(idx, def.field_count);
  }

  const ImageLayout& layout_;
  Sink& sink_;
  std::string error_;
};

// Accepts every value and keeps nothing: the walk alone makes the checks. A sink that needs only
// a few hooks derives from it and hides those.
struct CheckingSink {
  bool null_value(uint32_t) { return true; }
  bool null_items(uint32_t) { return true; }
  bool bool_value(bool) { return true; }
  bool int32_value(int32_t) { return true; }
  bool uint32_value(uint32_t) { return true; }
  bool float32_value(uint32_t) { return true; }
  bool string_value(const uint8_t*, uint32_t, bool) { return true; }
  bool str_ref(uint32_t, uint32_t) { return true; }
  bool end_array(uint16_t, uint16_t, uint32_t) { return true; }
  bool fixed_array(uint16_t, uint16_t, TypeTag, const uint8_t*, uint32_t) { return true; }
  bool begin_object(uint16_t, uint32_t) { return true; }
  bool end_object(uint16_t, uint32_t) { return true; }
  bool begin_entry(uint32_t, uint16_t, uint32_t) { return true; }
  bool end_entry(uint16_t) { return true; }
};

}  // namespace vorn

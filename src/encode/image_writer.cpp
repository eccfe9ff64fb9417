#include "encode/image_writer.h"

#include <string>

#include "encode/encode.h"

namespace vorn {

namespace {

uint8_t* write_definitions(uint8_t* p, std::span<const Definition> table) noexcept {
  for (const Definition& def : table) {
    *p++ = static_cast<uint8_t>(def.kind);
    p = put_u16(p, def.id);
    if (def.kind == TypeTag::Array) {
      *p++ = static_cast<uint8_t>(*def.elem_type);
    } else if (def.kind == TypeTag::Object) {
      p = put_u16(p, static_cast<uint16_t>(def.fields->size()));
      for (const FieldDef& f : *def.fields) {
        *p++ = static_cast<uint8_t>(f.name.size());
        copy_bytes(p, f.name.data(), f.name.size());
        p += f.name.size();
        *p++ = static_cast<uint8_t>(f.tag);
      }
    }
  }
  return p;
}

// Notes the first fault of a payload, in pre-order, and returns the payload's size; stops at
// the fault.
uint64_t measure_value(const Value& value, PayloadFault& fault) {
  switch (value.kind) {
    case ValueKind::Null:
    case ValueKind::Bool:
    case ValueKind::Int32:
    case ValueKind::UInt32:
    case ValueKind::Float32:
      return fixed_width(tag_of(value.kind));
    case ValueKind::StrRef:
      return STRING_REF_SIZE;
    case ValueKind::String: {
      const uint64_t n = string_size(value.text.size());
      if (n != NO_STRING_FORM) return n;
      fault.kind = PayloadFault::Kind::StringTooLong;
      return 0;
    }
    case ValueKind::Array:
      if (value.items.size() > MAX_ARRAY_ITEMS) {
        fault = PayloadFault{PayloadFault::Kind::TooManyItems, value.items.size()};
        return 0;
      }
      [[fallthrough]];
    case ValueKind::Object: {
      uint64_t size = value.kind == ValueKind::Array ? ARRAY_HEADER_SIZE : OBJECT_HEADER_SIZE;
      for (const Value& item : value.items) {
        size += measure_value(item, fault);
        if (fault) return size;
      }
      return size;
    }
  }
  return 0;
}

// The first non-finite float of a payload, in pre-order.
void find_non_finite(const Value& value, FirstNonFinite& floats) {
  if (value.kind == ValueKind::Float32) {
    floats.note(value.bits);
  } else if (value.kind == ValueKind::Array || value.kind == ValueKind::Object) {
    for (const Value& item : value.items) {
      find_non_finite(item, floats);
      if (floats.found()) return;
    }
  }
}

}  // namespace

FormatError DefinitionFault::error() const {
  switch (kind) {
    case Kind::NoElemType:
      return FormatError{"Array #" + std::to_string(id) + " has no elem_type"};
    case Kind::NoFields:
      return FormatError{"Object #" + std::to_string(id) + " has no fields"};
    case Kind::TooManyFields:
      return too_many_fields(id, fields);
    case Kind::NameTooLong:
    case Kind::None:
      break;
  }
  return FormatError{"Field name too long"};
}

EntrySize measure_payload(const Value& value) {
  EntrySize entry;
  entry.payload = measure_value(value, entry.fault);
  return entry;
}

FormatError PayloadFault::error() const {
  return kind == Kind::TooManyItems ? too_many_items(items) : string_too_long();
}

DefinitionBlock measure_definitions(std::span<const Definition> table) {
  DefinitionBlock block;
  block.count = table.size();
  block.table = table;
  uint64_t size = 0;
  for (const Definition& def : table) {
    auto refuse = [&](DefinitionFault::Kind kind, size_t fields = 0) {
      if (!block.fault) block.fault = DefinitionFault{kind, def.id, fields};
    };
    if (def.kind == TypeTag::Array) {
      if (!def.elem_type) refuse(DefinitionFault::Kind::NoElemType);
      size += ARRAY_DEFINITION_SIZE;
    } else if (def.kind == TypeTag::Object) {
      if (!def.fields) {
        refuse(DefinitionFault::Kind::NoFields);
        continue;
      }
      const size_t count = def.fields->size();
      if (count > MAX_OBJECT_FIELDS && block.wide_fields == 0) {
        block.wide_id = def.id;
        block.wide_fields = count;
      }
      if (count > MAX_ENCODED_FIELDS) {
        refuse(DefinitionFault::Kind::TooManyFields, count);
        continue;
      }
      size += OBJECT_DEFINITION_HEAD_SIZE + FIELD_OVERHEAD * count;
      for (const FieldDef& f : *def.fields) {
        if (f.name.size() > MAX_FIELD_NAME_LEN) refuse(DefinitionFault::Kind::NameTooLong);
        size += f.name.size();
      }
    } else {
      size += DEFINITION_HEAD_SIZE;
    }
  }
  block.size = size;
  return block;
}

template <class S>
Result<ImagePlan> plan_image(const DefinitionBlock& defs, std::span<const S> strings,
                             std::span<const EntrySize> entries, size_t* faulty_entry) {
  if (faulty_entry != nullptr) *faulty_entry = SIZE_MAX;
  if (defs.count > MAX_ENCODED_DEFINITIONS) return too_many_definitions(defs.count);
  if (defs.fault) return defs.fault.error();
  uint64_t size = HEADER_SIZE + DEFINITION_COUNT_SIZE + defs.size;
  if (size > MAX_IMAGE_SIZE) return image_too_large();

  ImagePlan plan;
  plan.dict_offset = static_cast<uint32_t>(size);
  // The counts are u32s too; each string or entry takes a byte at least, so a count past that
  // makes the image too large as well.
  size += DICT_COUNT_SIZE;
  if (size > MAX_IMAGE_SIZE || strings.size() > MAX_IMAGE_SIZE) return image_too_large();
  for (const S& s : strings) {
    const uint64_t n = string_size(s.size());
    if (n == NO_STRING_FORM) return string_too_long();
    size += n;
    if (size > MAX_IMAGE_SIZE) return image_too_large();
  }

  plan.data_offset = static_cast<uint32_t>(size);
  size += ENTRY_COUNT_SIZE;
  if (size > MAX_IMAGE_SIZE || entries.size() > MAX_IMAGE_SIZE) return image_too_large();
  for (size_t i = 0; i < entries.size(); ++i) {
    const EntrySize& entry = entries[i];
    if (entry.fault) {
      if (faulty_entry != nullptr) *faulty_entry = i;
      return entry.fault.error();
    }
    size += ENTRY_HEADER_SIZE + entry.payload;
    if (size > MAX_IMAGE_SIZE) return image_too_large();
  }
  plan.size = static_cast<size_t>(size);
  return plan;
}

template <class S>
uint8_t* write_image_prefix(uint8_t* out, const ImagePlan& plan, const DefinitionBlock& defs,
                            std::span<const S> strings, size_t entry_count) noexcept {
  out[0] = FORMAT_VERSION;
  uint8_t* p = put_u32(out + 1, HEADER_SIZE);
  p = put_u32(p, plan.dict_offset);
  p = put_u32(p, plan.data_offset);
  p = put_u16(p, static_cast<uint16_t>(defs.count));
  if (!defs.laid_out.empty()) {
    std::memcpy(p, defs.laid_out.data(), defs.laid_out.size());
    p += defs.laid_out.size();
  } else {
    p = write_definitions(p, defs.table);
  }
  p = put_u32(p, static_cast<uint32_t>(strings.size()));
  for (const S& s : strings) p = put_string(p, s);
  return put_u32(p, static_cast<uint32_t>(entry_count));
}

template Result<ImagePlan> plan_image(const DefinitionBlock&, std::span<const std::string>,
                                      std::span<const EntrySize>, size_t*);
template Result<ImagePlan> plan_image(const DefinitionBlock&, std::span<const std::string_view>,
                                      std::span<const EntrySize>, size_t*);
template uint8_t* write_image_prefix(uint8_t*, const ImagePlan&, const DefinitionBlock&,
                                     std::span<const std::string>, size_t) noexcept;
template uint8_t* write_image_prefix(uint8_t*, const ImagePlan&, const DefinitionBlock&,
                                     std::span<const std::string_view>, size_t) noexcept;

Status check_readable(const DefinitionBlock& defs, FirstNonFinite floats) {
  if (defs.count > MAX_DEFINITIONS) [[unlikely]] {
    return definition_count_exceeded(defs.count);
  }
  if (defs.wide_fields != 0) [[unlikely]] {
    return object_field_count_exceeded(defs.wide_id, defs.wide_fields, MAX_OBJECT_FIELDS);
  }
  if (floats.found()) [[unlikely]] {
    return non_finite_float(floats.bits());
  }
  return {};
}

Status check_readable(const Document& doc) {
  FirstNonFinite floats;
  for (const DataEntry& entry : doc.entries) {
    find_non_finite(entry.value, floats);
    if (floats.found()) break;
  }
  return check_readable(measure_definitions(doc.definitions), floats);
}

}  // namespace vorn

#include "encode/encode.h"

#include <string>
#include <vector>

#include "encode/image_writer.h"
#include "format/reader_refusals.h"

namespace vorn {

FormatError too_many_definitions(size_t count) {
  return FormatError{"Too many definitions (" + std::to_string(count) + "), max " +
                     std::to_string(MAX_ENCODED_DEFINITIONS)};
}

FormatError too_many_fields(uint16_t id, size_t count) {
  return object_field_count_exceeded(id, count, MAX_ENCODED_FIELDS);
}

FormatError too_many_items(size_t count) {
  return FormatError{"Array has " + std::to_string(count) + " items (max 65535)"};
}

FormatError string_too_long() {
  return FormatError{"String exceeds maximum inline length (16 777 215 bytes)"};
}

FormatError image_too_large() { return FormatError{"Image exceeds 4294967295 bytes"}; }

namespace {

// Writes the payload of a value that measure_payload accepted at p; returns the byte after it.
uint8_t* write_value(uint8_t* p, const Value& value) noexcept {
  switch (value.kind) {
    case ValueKind::Null:
      return p;
    case ValueKind::Bool:
      *p = value.boolean;
      return p + BOOL_SIZE;
    case ValueKind::Int32:
    case ValueKind::UInt32:
    case ValueKind::Float32:
      return put_u32(p, value.bits);
    case ValueKind::String:
      return put_string(p, value.text);
    case ValueKind::StrRef:
      return put_string_ref(p, value.ref_index());
    case ValueKind::Array:
      p = put_u16(p, value.self_def_index);
      p = put_u16(p, value.elem_def_index);
      p = put_u16(p, static_cast<uint16_t>(value.items.size()));
      for (const Value& item : value.items) p = write_value(p, item);
      return p;
    case ValueKind::Object:
      p = put_u16(p, value.self_def_index);
      for (const Value& item : value.items) p = write_value(p, item);
      return p;
  }
  return p;
}

}  // namespace

Result<ByteBuffer> encode_document(const Document& doc) {
  const DefinitionBlock defs = measure_definitions(doc.definitions);
  std::vector<EntrySize> entries;
  entries.reserve(doc.entries.size());
  for (const DataEntry& entry : doc.entries) entries.push_back(measure_payload(entry.value));
  const std::span<const std::string> strings(doc.strings);
  Result<ImagePlan> plan = plan_image(defs, strings, std::span<const EntrySize>(entries));
  if (!plan) return plan.error();

  ByteBuffer out;
  out.resize(plan->size);
  uint8_t* p = write_image_prefix(out.data(), *plan, defs, strings, doc.entries.size());
  for (size_t i = 0; i < doc.entries.size(); ++i) {
    p = put_entry_header(p, doc.entries[i].def_index, entries[i].payload);
    p = write_value(p, doc.entries[i].value);
  }
  out.data()[0] = doc.version;
  return out;
}

}  // namespace vorn

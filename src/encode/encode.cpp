#include "encode/encode.h"

#include <string>

namespace vorn {

FormatError too_many_definitions(size_t count) {
  return FormatError{"Too many definitions (" + std::to_string(count) + "), max 65535"};
}

FormatError too_many_fields(uint16_t id, size_t count) {
  return FormatError{"Object #" + std::to_string(id) + " has " + std::to_string(count) +
                     " fields (max 65535)"};
}

FormatError too_many_items(size_t count) {
  return FormatError{"Array has " + std::to_string(count) + " items (max 65535)"};
}

FormatError string_too_long() {
  return FormatError{"String exceeds maximum inline length (16 777 215 bytes)"};
}

FormatError image_too_large() { return FormatError{"Image exceeds 4294967295 bytes"}; }

namespace {

Status write_definition(ByteBuffer& out, const Definition& def) {
  out.put_u8(static_cast<uint8_t>(def.kind));
  out.put_u16(def.id);
  if (def.kind == TypeTag::Array) {
    if (!def.elem_type) {
      return FormatError{"Array #" + std::to_string(def.id) + " has no elem_type"};
    }
    out.put_u8(static_cast<uint8_t>(*def.elem_type));
  } else if (def.kind == TypeTag::Object) {
    if (!def.fields) return FormatError{"Object #" + std::to_string(def.id) + " has no fields"};
    const auto& fields = *def.fields;
    if (fields.size() > MAX_ENCODED_FIELDS) {
      return too_many_fields(def.id, fields.size());
    }
    out.put_u16(static_cast<uint16_t>(fields.size()));
    for (const FieldDef& f : fields) {
      if (f.name.size() > MAX_FIELD_NAME_LEN) return FormatError{"Field name too long"};
      out.put_u8(static_cast<uint8_t>(f.name.size()));
      out.put_bytes(f.name);
      out.put_u8(static_cast<uint8_t>(f.tag));
    }
  }
  return {};
}

// Appends `text` with its length prefix in the smallest form; fails for more than 16777215 bytes
// and then appends nothing.
Status write_string(ByteBuffer& out, std::string_view text) {
  const size_t n = text.size();
  if (n > MAX_INLINE_STRING_LEN) return string_too_long();
  uint8_t* p = put_string_prefix(out.extend(string_prefix_size(n) + n), n);
  if (n != 0) std::memcpy(p, text.data(), n);
  return {};
}

// Appends the payload of one value, recursively; fails with the first nested fault.
Status write_value(ByteBuffer& out, const Value& value) {
  switch (value.kind) {
    case ValueKind::Null:
      return {};
    case ValueKind::Bool:
      out.put_u8(value.boolean);
      return {};
    case ValueKind::Int32:
    case ValueKind::UInt32:
    case ValueKind::Float32:
      out.put_u32(value.bits);
      return {};
    case ValueKind::String:
      return write_string(out, value.text);
    case ValueKind::StrRef:
      out.put_u8(STRING_REF);
      out.put_u32(value.bits);
      return {};
    case ValueKind::Array: {
      if (value.items.size() > MAX_ARRAY_ITEMS) {
        return too_many_items(value.items.size());
      }
      out.put_u16(value.self_def_index);
      out.put_u16(value.elem_def_index);
      out.put_u16(static_cast<uint16_t>(value.items.size()));
      for (const Value& item : value.items) {
        if (Status s = write_value(out, item); !s) return s;
      }
      return {};
    }
    case ValueKind::Object:
      out.put_u16(value.self_def_index);
      for (const Value& item : value.items) {
        if (Status s = write_value(out, item); !s) return s;
      }
      return {};
  }
  return {};
}

}  // namespace

Result<ByteBuffer> encode_document(const Document& doc) {
  ByteBuffer out;
  out.extend(HEADER_SIZE);  // filled in last
  if (doc.definitions.size() > MAX_ENCODED_DEFINITIONS) {
    return too_many_definitions(doc.definitions.size());
  }
  out.put_u16(static_cast<uint16_t>(doc.definitions.size()));
  for (const Definition& def : doc.definitions) {
    if (Status s = write_definition(out, def); !s) return s.error();
  }
  if (out.size() > MAX_IMAGE_SIZE) return image_too_large();

  const size_t dict_offset = out.size();
  if (doc.strings.size() > MAX_IMAGE_SIZE) return image_too_large();
  out.put_u32(static_cast<uint32_t>(doc.strings.size()));
  for (const std::string& s : doc.strings) {
    if (Status st = write_string(out, s); !st) return st.error();
    if (out.size() > MAX_IMAGE_SIZE) return image_too_large();
  }

  const size_t data_offset = out.size();
  if (doc.entries.size() > MAX_IMAGE_SIZE) return image_too_large();
  out.reserve(out.size() + 4 + 16 * doc.entries.size());
  out.put_u32(static_cast<uint32_t>(doc.entries.size()));
  for (const DataEntry& entry : doc.entries) {
    out.put_u16(entry.def_index);
    const size_t at = out.size();
    out.put_u32(0);  // payload length, back-patched below
    if (Status s = write_value(out, entry.value); !s) return s.error();
    if (out.size() > MAX_IMAGE_SIZE) return image_too_large();
    out.patch_u32(at, static_cast<uint32_t>(out.size() - at - 4));
  }

  uint8_t* h = out.data();
  h[0] = doc.version;
  ByteBuffer::store_u32(h + 1, HEADER_SIZE);
  ByteBuffer::store_u32(h + 5, static_cast<uint32_t>(dict_offset));
  ByteBuffer::store_u32(h + 9, static_cast<uint32_t>(data_offset));
  return out;
}

}  // namespace vorn

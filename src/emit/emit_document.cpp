#include "emit/emit_document.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "encode/encode.h"
#include "encode/image_writer.h"

namespace vorn {

namespace {

// The first array, in the order arrays end (an array after everything inside it), whose items
// do not all have the kind of its first item, numbers of both kinds aside.
std::optional<FormatError> first_mismatch(const Value& v) {
  if (v.kind != ValueKind::Array && v.kind != ValueKind::Object) return std::nullopt;
  for (const Value& item : v.items) {
    if (std::optional<FormatError> inner = first_mismatch(item)) return inner;
  }
  if (v.kind == ValueKind::Object || v.items.empty()) return std::nullopt;
  const TypeTag first = tag_of(v.items[0].kind);
  for (size_t i = 1; i < v.items.size(); ++i) {
    const TypeTag found = tag_of(v.items[i].kind);
    if (found != first && !(is_number_tag(found) && is_number_tag(first))) {
      return array_item_mismatch(i, found, first);
    }
  }
  return std::nullopt;
}

// The element kind of an array that passed first_mismatch: the kind of its first item, Float32
// when numbers of both kinds are mixed, Null when it is empty.
TypeTag element_kind(const Value& array) noexcept {
  if (array.items.empty()) return TypeTag::Null;
  const TypeTag first = tag_of(array.items[0].kind);
  for (const Value& item : array.items) {
    if (tag_of(item.kind) != first) return TypeTag::Float32;
  }
  return first;
}

// The state of one reference build: the definition table, the dict and the lookup maps, and the
// definition noted for each container of the tree.
class DocumentBuilder {
 public:
  // Walks a value and everything inside it: adds its strings and definitions and notes the
  // definition of each of its containers.
  void intern_value(const Value& v);
  // The value with the noted definitions filled in (below).
  Value assign(const Value& v) const;

  std::vector<Definition> definitions = predefined_definitions();
  std::vector<std::string> strings;

 private:
  uint16_t take_id() { return next_id_++; }  // wraps after 65535, as the format's ids do

  std::unordered_map<std::string, uint32_t> string_index_;
  std::unordered_map<std::string, uint16_t> array_keys_;
  std::unordered_map<std::string, uint16_t> object_keys_;
  std::unordered_map<const Value*, uint16_t> noted_;
  uint16_t next_id_ = PREDEFINED_COUNT;
};

void DocumentBuilder::intern_value(const Value& v) {
  switch (v.kind) {
    case ValueKind::String:
      if (string_index_.try_emplace(v.text, static_cast<uint32_t>(strings.size())).second) {
        strings.push_back(v.text);
      }
      return;
    case ValueKind::Array: {
      const TypeTag elem = element_kind(v);
      std::string key = "arr:";
      key += std::to_string(v.self_def_index);
      key += ':';
      key += std::to_string(static_cast<unsigned>(elem));
      auto [slot, added] = array_keys_.try_emplace(key, uint16_t{0});
      if (added) {
        slot->second = take_id();
        Definition def;
        def.kind = TypeTag::Array;
        def.id = slot->second;
        def.elem_type = elem;
        definitions.push_back(std::move(def));
      }
      noted_[&v] = slot->second;
      for (const Value& item : v.items) intern_value(item);
      return;
    }
    case ValueKind::Object: {
      std::string kinds;
      for (size_t i = 0; i < v.items.size(); ++i) {
        intern_value(v.items[i]);
        if (i != 0) kinds += ',';
        kinds += kind_char(tag_of(v.items[i].kind));
      }
      std::string key = "obj:";
      key += std::to_string(v.self_def_index);
      key += ':';
      key += kinds;
      auto [slot, added] = object_keys_.try_emplace(key, uint16_t{0});
      if (added) {
        slot->second = take_id();
        Definition def;
        def.kind = TypeTag::Object;
        def.id = slot->second;
        std::vector<FieldDef> fields;
        fields.reserve(v.items.size());
        for (size_t i = 0; i < v.items.size(); ++i) {
          FieldDef field{"f", tag_of(v.items[i].kind)};
          field.name += std::to_string(i);
          fields.push_back(std::move(field));
        }
        def.fields = std::move(fields);
        definitions.push_back(std::move(def));
      }
      noted_[&v] = slot->second;
      return;
    }
    default:
      return;
  }
}

// A copy of `v` in which every container holds the id noted for it (an array as its
// elem_def_index too) and the integer items of a Float32 array are the nearest Float32.
Value DocumentBuilder::assign(const Value& v) const {
  if (v.kind != ValueKind::Array && v.kind != ValueKind::Object) return v;
  const uint16_t id = noted_.at(&v);
  const bool to_floats = v.kind == ValueKind::Array && element_kind(v) == TypeTag::Float32;
  std::vector<Value> items;
  items.reserve(v.items.size());
  for (const Value& item : v.items) {
    if (to_floats && item.kind == ValueKind::Int32) {
      items.push_back(Value::float32(static_cast<float>(item.as_int32())));
    } else if (to_floats && item.kind == ValueKind::UInt32) {
      items.push_back(Value::float32(static_cast<float>(item.as_uint32())));
    } else {
      items.push_back(assign(item));
    }
  }
  if (v.kind == ValueKind::Array) return Value::array(id, id, std::move(items));
  return Value::object(id, std::move(items));
}

}  // namespace

Result<Document> emit_document(const Value& root) {
  if (std::optional<FormatError> mismatch = first_mismatch(root)) return *mismatch;
  DocumentBuilder builder;
  builder.intern_value(root);
  Document doc;
  Value value = builder.assign(root);
  const bool container = value.kind == ValueKind::Array || value.kind == ValueKind::Object;
  const uint16_t def_index = container ? value.self_def_index : predefined_id(tag_of(value.kind));
  doc.definitions = std::move(builder.definitions);
  doc.strings = std::move(builder.strings);
  doc.entries.push_back(DataEntry{def_index, std::move(value)});
  return doc;
}

Result<ByteBuffer> emit_reference_image(const Value& root) {
  Result<Document> doc = emit_document(root);
  if (!doc) return doc.error();
  Result<ByteBuffer> image = encode_document(*doc);
  if (!image) return image.error();
  if (Status readable = check_readable(*doc); !readable) return readable.error();
  return image;
}

}  // namespace vorn

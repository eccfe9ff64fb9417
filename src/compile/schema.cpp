#include "compile/schema.h"

#include <cmath>
#include <limits>

#include "format/narrowing.h"

namespace vorn {

namespace {

// The element kind of an array: the tag of its first item that is not null, Null if none.
TypeTag element_kind(std::span<const JsonValue> items) noexcept {
  for (const JsonValue& item : items) {
    if (item.kind != JsonKind::Null) return tag_of(item);
  }
  return TypeTag::Null;
}

}  // namespace

CompileContext::CompileContext(size_t expected_strings)
    : definitions(predefined_definitions()), strings(expected_strings) {
  arrays.fill(NO_DEFINITION);
}

TypeTag tag_of(const JsonValue& v) noexcept {
  switch (v.kind) {
    case JsonKind::Null:
      return TypeTag::Null;
    case JsonKind::Bool:
      return TypeTag::Bool;
    case JsonKind::Number:
      return number_tag(v);
    case JsonKind::String:
      return TypeTag::String;
    case JsonKind::Array:
      return TypeTag::Array;
    case JsonKind::Object:
      return TypeTag::Object;
  }
  return TypeTag::Null;
}

float integer_to_float(const JsonValue& v) noexcept {
  return integer_to_float(v.form, v.number.u64);
}

Value number_value(const JsonValue& v) noexcept {
  switch (number_tag(v)) {
    case TypeTag::Float32:
      return Value::float32(narrow_to_float(v.number.f64));
    case TypeTag::UInt32:
      return Value::uint32(integer_bits(v.number.u64));
    default:
      return Value::int32(static_cast<int32_t>(integer_bits(v.number.u64)));
  }
}

Result<ArrayKind> check_array(std::span<const JsonValue> items) {
  ArrayKind result;
  result.elem = element_kind(items);
  for (size_t i = 0; i < items.size(); ++i) {
    const TypeTag found = tag_of(items[i]);
    if (found == result.elem) continue;
    if (is_number_tag(found) && is_number_tag(result.elem)) {
      result.promoted = true;
      continue;
    }
    return array_item_mismatch(i, found, result.elem);
  }
  if (result.promoted) result.elem = TypeTag::Float32;
  return result;
}

uint16_t add_array_def(CompileContext& ctx, TypeTag elem) {
  int32_t& slot = ctx.arrays[static_cast<uint8_t>(elem)];
  const uint16_t id = ctx.next_id++;
  Definition def;
  def.kind = TypeTag::Array;
  def.id = id;
  def.elem_type = elem;
  ctx.definitions.push_back(std::move(def));
  slot = id;
  return id;
}

int32_t find_object_def(CompileContext& ctx, ViewHash hash) noexcept {
  const uint16_t* id = ctx.objects.find(ctx.signature, hash);
  return id == nullptr ? CompileContext::NO_DEFINITION : *id;
}

uint16_t add_object_def(CompileContext& ctx, ViewHash hash, std::vector<FieldDef> fields) {
  const uint16_t id = ctx.next_id++;
  const std::string& key = ctx.object_keys.emplace_back(ctx.signature);
  ctx.objects.try_emplace(key, hash, id);
  Definition def;
  def.kind = TypeTag::Object;
  def.id = id;
  def.fields = std::move(fields);
  ctx.definitions.push_back(std::move(def));
  return id;
}

uint16_t intern_object_def(CompileContext& ctx, std::span<const JsonValue> members) {
  ctx.signature.clear();
  for (const JsonValue& m : members) append_signature_member(ctx.signature, m.key, tag_of(m));
  const ViewHash hash = ctx.objects.hash(ctx.signature);
  if (const int32_t id = find_object_def(ctx, hash); id != CompileContext::NO_DEFINITION) {
    return static_cast<uint16_t>(id);
  }
  std::vector<FieldDef> fields;
  fields.reserve(members.size());
  for (const JsonValue& m : members) fields.push_back(FieldDef{std::string(m.key), tag_of(m)});
  return add_object_def(ctx, hash, std::move(fields));
}

uint16_t elem_def_of(const Value& v) noexcept {
  switch (v.kind) {
    case ValueKind::Object:
      return v.self_def_index;
    case ValueKind::Array:
      return v.elem_def_index;
    default:
      return predefined_id(tag_of(v.kind));
  }
}

}  // namespace vorn

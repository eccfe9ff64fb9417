#include "format/format.h"

#include <string>
#include <utility>

namespace vorn {

std::string_view tag_name(TypeTag tag) noexcept {
  switch (tag) {
    case TypeTag::Null:
      return "Null";
    case TypeTag::Bool:
      return "Bool";
    case TypeTag::Int32:
      return "Int32";
    case TypeTag::UInt32:
      return "UInt32";
    case TypeTag::Float32:
      return "Float32";
    case TypeTag::String:
      return "String";
    case TypeTag::Array:
      return "Array";
    case TypeTag::Object:
      return "Object";
  }
  return "?";
}

FormatError array_item_mismatch(size_t index, TypeTag found, TypeTag expected) {
  std::string m = "Array item " + std::to_string(index) + " is ";
  m += tag_name(found);
  m += " but elem_type is ";
  m += tag_name(expected);
  return FormatError{std::move(m)};
}

std::vector<Definition> predefined_definitions() {
  std::vector<Definition> defs;
  defs.reserve(8);
  for (uint8_t i = 0; i <= 5; ++i) {
    Definition d;
    d.kind = static_cast<TypeTag>(i);
    d.id = i;
    defs.push_back(std::move(d));
  }
  return defs;
}

}  // namespace vorn

// Schema inference: which TypeTag a JSON value stands for, how JSON numbers narrow to the
// format's 32-bit kinds, and how array and object definitions are found or created while the
// compiler walks a JsonTree. Free of Python.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compile/view_map.h"
#include "format/format.h"
#include "format/json_value.h"
#include "format/object_signature.h"
#include "format/result.h"

namespace vorn {

// The state of one compile call. The string views it holds point into the JSON text or into the
// tree's owned strings, which outlive the context.
struct CompileContext {
  explicit CompileContext(size_t expected_strings = 64);

  // The predefined definitions, then every created one; a definition's position is its id.
  std::vector<Definition> definitions;
  // The future StringDict: string values met at least twice, ordered by their second occurrence.
  std::vector<std::string_view> dict_strings;
  // Every string value met so far: SEEN_ONCE, or its position in dict_strings.
  ViewMap<uint32_t> strings;
  // Object lookup key (see intern_object_def) to definition id.
  ViewMap<uint16_t> objects;
  std::deque<std::string> object_keys;  // the bytes of the keys of `objects`
  // Element TypeTag to the id of its array definition; NO_DEFINITION when none was made yet.
  std::array<int32_t, 256> arrays;
  std::string signature;  // scratch for building object lookup keys, reused
  uint16_t next_id = PREDEFINED_COUNT;

  static constexpr uint32_t SEEN_ONCE = 0xFFFFFFFF;
  static constexpr int32_t NO_DEFINITION = -1;
};

// The TypeTag that stands for a JSON value. Unsigned integers from 2^63 are UInt32, all other
// integers Int32, floats Float32.
TypeTag tag_of(const JsonValue& v) noexcept;

// The float nearest to the exact value of an integer number (ties to even).
float integer_to_float(const JsonValue& v) noexcept;

// The Value of a number: Int32 or UInt32 holding the low 32 bits of an integer, or Float32.
Value number_value(const JsonValue& v) noexcept;

// What an array's items allow: its element TypeTag, and whether its integer items must become
// floats because numbers of different kinds are mixed (the element TypeTag is then Float32).
struct ArrayKind {
  TypeTag elem = TypeTag::Null;
  bool promoted = false;
};

// Checks that every item of an array has the array's element kind, numbers of mixed kinds
// aside. Fails with "Array item {index} is {found} but elem_type is {expected}" for the first
// item that differs; a null item among other items differs too.
Result<ArrayKind> check_array(std::span<const JsonValue> items);

// Creates the array definition for an element kind; intern_array_def's slow path.
uint16_t add_array_def(CompileContext& ctx, TypeTag elem);

// The id of the array definition for an element kind, created when first needed.
inline uint16_t intern_array_def(CompileContext& ctx, TypeTag elem) {
  const int32_t id = ctx.arrays[static_cast<uint8_t>(elem)];
  return id != CompileContext::NO_DEFINITION ? static_cast<uint16_t>(id) : add_array_def(ctx, elem);
}

// The id of the object definition for a member list (in ascending key order), created when
// first needed. Two objects share a definition exactly when they have the same member names in
// the same order with the same kinds.
uint16_t intern_object_def(CompileContext& ctx, std::span<const JsonValue> members);

// The steps of intern_object_def, for callers that hold members in another form: append each
// member in key order to a cleared ctx.signature, hash it with ctx.objects.hash, look it up, and
// add the definition when it is new. The members go in with append_signature_member of
// format/object_signature.h.
// The id recorded for the lookup key in ctx.signature, or NO_DEFINITION.
int32_t find_object_def(CompileContext& ctx, ViewHash hash) noexcept;
// Creates the object definition for the lookup key in ctx.signature and returns its id.
uint16_t add_object_def(CompileContext& ctx, ViewHash hash, std::vector<FieldDef> fields);

// The definition index that a compiled, non-null array element stands for: its predefined
// scalar definition, an object's own definition, or an inner array's element definition.
uint16_t elem_def_of(const Value& v) noexcept;

}  // namespace vorn

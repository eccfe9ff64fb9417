// The decompiler: turns a decoded Document into one JsonValue tree, putting the field names of
// the object definitions back and resolving every StrRef against the dict. It makes the checks
// the decoder leaves out: StrRef indexes against the dict, definition lookup by id, the field
// count of objects against their definition, and finite floats.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "format/format.h"
#include "format/json_value.h"
#include "format/result.h"

namespace vorn {

// The definition an object value names by its self_def_index: the one at that position when
// its id equals the index (everything this system writes), else the first whose id equals it;
// nullptr when none has that id. `Def` is any type with a u16 member `id`.
template <class Def>
const Def* find_definition(uint16_t index, std::span<const Def> definitions) {
  if (index < definitions.size() && definitions[index].id == index) return &definitions[index];
  for (const Def& def : definitions) {
    if (def.id == index) return &def;
  }
  return nullptr;
}

// Where the fields of an object definition go in an object whose keys are kept in ascending
// byte order, one per key: when a name occurs again, the later field's value wins.
struct FieldOrder {
  std::vector<uint32_t> slot;    // per field, in field order: the position of its key
  std::vector<uint32_t> winner;  // per key, in key order: the field whose value it keeps
};

// Works out the order for the field names of one definition, in field order.
FieldOrder order_fields(std::span<const std::string_view> names);

// The checks on an object value against the definition found for it, in order; `values` is the
// number of values the object holds. Returns the failure message, or an empty string.
std::string check_object_definition(uint16_t index, bool found, bool has_fields, size_t fields,
                                    size_t values);

// The message for a StrRef past the end of the dict; a StrRef that is the value of an entry
// itself names the dict length too.
std::string str_ref_out_of_bounds(uint32_t index, size_t dict_len, bool top_level);

// The text for a float32 that is not finite ("inf", "-inf" or "NaN"), or nullptr for a finite
// one. The test is made on the value widened to binary64.
const char* non_finite_name(uint32_t bits) noexcept;

// Decompiles `doc`: null for no entries, the value of a single entry, or an array of the values
// of several. The tree views strings owned by `doc` (inline strings, dict strings shared by all
// their StrRefs, field names as keys): `doc` must outlive it and stay unchanged.
Result<JsonTree> decompile_document(const Document& doc);

}  // namespace vorn

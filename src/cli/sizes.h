// Where the bytes of an image go: per definition, per kind of value, per block. The figures come
// from the decoder's own walk over the payloads, which builds no values; the memory it takes is
// bounded by the nesting depth and the definition table, whatever the number of values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/json_writer.h"
#include "decode/decode.h"
#include "format/result.h"

namespace vorn::cli {

// A slot of DefinitionSizes::nested that no value filled, and one that values filled with
// different definitions.
inline constexpr uint16_t NO_DEFINITION = 0xFFFF;
inline constexpr uint16_t SEVERAL_DEFINITIONS = 0xFFFE;

// The payload bytes that the values of one definition take.
struct DefinitionSizes {
  uint32_t index = 0;   // the definition's position in the definition block
  uint64_t values = 0;  // arrays and objects naming it, and entries of a scalar definition
  // Their own bytes: headers, counts and the scalars written inside them (inline strings and
  // references included), without the arrays and objects nested in them.
  uint64_t self = 0;
  // Their bytes with everything nested in them. A value nested in another of the same
  // definition is counted once, as part of the outer one.
  uint64_t total = 0;
};

// Strings in the payloads and the dictionary.
struct StringSizes {
  uint64_t inline_count = 0;
  uint64_t inline_bytes = 0;  // length prefixes and texts
  uint64_t dict_count = 0;
  uint64_t dict_bytes = 0;  // the whole dict block, its count included
  uint64_t ref_count = 0;
  uint64_t ref_bytes = 0;  // 5 bytes each
  // What writing each referred string inline at its reference would have taken (in the
  // shortest form), less the references' own bytes; negative where short strings are referred.
  int64_t saved = 0;
};

// The scalars in the payloads, by kind; a Null takes no byte, a Bool one, the others four.
struct ScalarCounts {
  uint64_t nulls = 0;
  uint64_t bools = 0;
  uint64_t int32s = 0;
  uint64_t uint32s = 0;
  uint64_t float32s = 0;

  uint64_t number_count() const { return int32s + uint32s + float32s; }
  uint64_t number_bytes() const { return 4 * number_count(); }
};

// Two ways of cutting the same image. By block: header + unused + definition_block +
// dict_block + entry_table + payloads = image. By kind, the payloads: container_headers +
// strings (inline and references) + scalar bytes = payloads; by definition, the payloads are
// the sum of every definition's self bytes.
struct ImageSizes {
  uint64_t image = 0;
  uint64_t header = 0;
  uint64_t definition_block = 0;
  uint64_t dict_block = 0;
  uint64_t entry_table = 0;  // the entry count and each entry's definition index and length
  uint64_t payloads = 0;
  // Bytes that no count covers: between the header and the definition block, and after the
  // last entry (a writer of this system leaves none).
  uint64_t unused = 0;

  uint64_t arrays = 0;   // array values, 6 header bytes each
  uint64_t objects = 0;  // object values, 2 header bytes each
  uint64_t container_headers() const { return 6 * arrays + 2 * objects; }

  StringSizes strings;
  ScalarCounts scalars;

  // Every definition that some value uses, the largest `self` first (ties by index).
  std::vector<DefinitionSizes> definitions;
  // What the nested arrays and objects name: per field of ImageLayout::fields, and per
  // definition for the elements of an Array definition. NO_DEFINITION for a scalar slot or one
  // that held no value, SEVERAL_DEFINITIONS where values differ.
  std::vector<uint16_t> field_nested;
  std::vector<uint16_t> element_nested;
  // Per field of ImageLayout::fields: the bytes of its values, with everything nested in them
  // (a value nested in a value of the same field counts once).
  std::vector<uint64_t> field_bytes;
};

// Measures `image`, whose `layout` read_layout filled; the image must read without fault (the
// walk makes the decoder's checks again and fails with the first fault it meets).
Result<ImageSizes> measure_image(std::span<const uint8_t> image, const ImageLayout& layout);

// The shape of definition `index`: its kind, then an array's element kind or an object's fields
// with their kinds (an array or object field names the definition its values use): all of them
// in field order when there are at most `max_fields`, else the `max_fields` heaviest and a
// count of the rest. Field names appear as JSON string literals, cut after `max_name` bytes.
std::string definition_shape(const ImageLayout& layout, const ImageSizes& sizes, uint32_t index,
                             size_t max_fields, size_t max_name = 40);

// The fields of object definition `index` (positions in ImageLayout::fields) whose values take
// the most bytes, the most first (ties in field order), at most `count` of them.
std::vector<uint32_t> heaviest_fields(const ImageLayout& layout, const ImageSizes& sizes,
                                      uint32_t index, size_t count);

// "12.3%": `part` of `whole`, one decimal.
std::string percent(uint64_t part, uint64_t whole);

// The figures as text for `vorn inspect --sizes`, after a line naming the file.
std::string sizes_text(std::string_view name, const ImageLayout& layout, const ImageSizes& sizes);

// The figures as the value of a JSON member (an object); the caller has written the key.
void sizes_json(JsonWriter& w, const ImageLayout& layout, const ImageSizes& sizes);

// What `vorn inspect` was asked to measure (--sizes) and what it measured: nothing for an image
// with a fault.
struct SizesSection {
  bool wanted = false;
  std::optional<ImageSizes> sizes;
};

// The member "sizes" of `vorn inspect --json --sizes`: the figures, or null when there are none.
void sizes_member(JsonWriter& w, const ImageLayout& layout, const std::optional<ImageSizes>& sizes);

// Measures an image that read without fault into `section.sizes`. False, after printing the
// fault as "vorn: {name}: {message}", when the walk meets one after all.
bool measure_for_inspect(std::span<const uint8_t> image, const ImageLayout& layout,
                         std::string_view name, SizesSection& section);

}  // namespace vorn::cli

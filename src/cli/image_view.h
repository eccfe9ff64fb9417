// A lenient reader of VORN images for display. It follows the decoder's structural checks in
// the decoder's order and stops at the first fault, keeping everything it read before it, so
// that a damaged image can still be shown up to the point where it breaks. It does not read
// entry payloads; the decoder itself gives the message that names a fault.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/format.h"

namespace vorn::cli {

struct EntryInfo {
  uint16_t def_index = 0;
  uint32_t payload_size = 0;
};

struct ImageView {
  uint64_t size = 0;  // the image length

  bool has_header = false;    // the 13 header bytes are there
  bool header_sound = false;  // version and offsets pass the decoder's checks
  uint8_t version = 0;
  uint32_t def_offset = 0, dict_offset = 0, data_offset = 0;

  std::optional<uint32_t> def_count;    // the count, once read
  std::vector<Definition> definitions;  // those read before a fault

  std::optional<uint32_t> dict_count;   // the count, once read; 0 for an empty dict block
  uint32_t dict_read = 0;               // strings read before a fault
  uint64_t dict_bytes = 0;              // the lengths of those strings, added up
  std::vector<std::string> dict_first;  // the first DICT_KEPT of them

  std::optional<uint32_t> entry_count;  // the count, once read
  std::vector<EntryInfo> entries;       // entry headers read before a fault

  bool complete = false;  // every block was read without a fault

  uint64_t def_block_size() const { return dict_offset - def_offset; }
  uint64_t dict_block_size() const { return data_offset - dict_offset; }
  uint64_t data_block_size() const { return size - data_offset; }
};

inline constexpr size_t DICT_KEPT = 10;

// Reads what it can of `image`. Never fails; the result tells how far it got.
ImageView read_image_view(std::span<const uint8_t> image);

}  // namespace vorn::cli

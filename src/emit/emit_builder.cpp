#include "emit/emit_builder.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <utility>

namespace vorn {

void HashIndex::insert(uint64_t hash, uint32_t entry) {
  if ((used_ + 1) * 2 > slots_.size()) grow();
  size_t i = hash & mask_;
  while (slots_[i].entry != NONE) i = (i + 1) & mask_;
  slots_[i] = Slot{hash, entry};
  ++used_;
}

void HashIndex::grow() {
  std::vector<Slot> old = std::exchange(slots_, {});
  slots_.resize(old.empty() ? 64 : old.size() * 2);
  mask_ = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.entry == NONE) continue;
    size_t i = s.hash & mask_;
    while (slots_[i].entry != NONE) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

uint64_t hash_bytes(std::string_view bytes) noexcept {
  constexpr uint64_t K = 0x9E3779B97F4A7C15ULL;
  const char* p = bytes.data();
  size_t n = bytes.size();
  uint64_t h = n * K;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * K;
    h ^= h >> 29;
  }
  if (n != 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * K;
  }
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ULL;
  return h ^ (h >> 32);
}

void StringDictionary::grow() {
  // Slots are placed by their 32-bit tags, which can tell apart no more than 2^32 of them.
  if (slots_.size() >= (size_t{1} << 32)) throw std::bad_alloc();
  std::vector<Slot> old = std::exchange(slots_, {});
  slots_.resize(old.empty() ? 1024 : old.size() * 2);
  mask_ = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.entry == HashIndex::NONE) continue;
    size_t i = s.tag & mask_;
    while (slots_[i].entry != HashIndex::NONE) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

namespace {

// The TypeTag of a kind character: "0" to "5" give 0 to 5, "6" Array, "7" Object.
TypeTag tag_of_char(char kind) noexcept {
  if (kind == '6') return TypeTag::Array;
  if (kind == '7') return TypeTag::Object;
  return static_cast<TypeTag>(kind - '0');
}

}  // namespace

EmitBuilder::EmitBuilder(ImageStorage::Provider& provider) : payload_(provider) {
  array_defs_.fill(HashIndex::NONE);
  last_object_at_depth_.fill(HashIndex::NONE);
  // The six predefined definitions: kind and id 0 to 5, nothing more.
  for (uint8_t i = 0; i <= 5; ++i) {
    defs_.put_u8(i);
    defs_.put_u16(i);
  }
  kinds_.reserve(256);
}

void EmitBuilder::begin_array() {
  note_item('6');
  open_.push_back(Open{payload_.size(), kinds_.size(), true, false});
  payload_.extend(6);  // self_def_index, elem_def_index and count, written at the end
}

void EmitBuilder::begin_object() {
  note_item('7');
  open_.push_back(Open{payload_.size(), kinds_.size(), false, false});
  payload_.extend(2);  // self_def_index, written at the end
}

void EmitBuilder::end_array() {
  const size_t header_at = open_.back().header_at;
  const size_t kinds_at = open_.back().kinds_at;
  const bool has_id = open_.back().has_id;
  open_.pop_back();
  const std::string_view kinds(kinds_.data() + kinds_at, kinds_.size() - kinds_at);
  const size_t count = kinds.size();
  if (count > MAX_ARRAY_ITEMS && header_at < oversized_at_) {
    oversized_at_ = header_at;
    oversized_count_ = count;
  }
  char elem = count == 0 ? '0' : kinds[0];
  if (elem == '2' || elem == '4') {
    bool ints = false, floats = false;
    size_t other = SIZE_MAX;
    for (size_t i = 0; i < count; ++i) {
      ints |= kinds[i] == '2';
      floats |= kinds[i] == '4';
      if (kinds[i] != '2' && kinds[i] != '4' && other == SIZE_MAX) other = i;
    }
    if (other != SIZE_MAX) {
      set_mismatch(other, kinds[other], elem);
    } else if (ints && floats) {
      // Numbers only, so the items are 4 bytes each after the 6-byte header; the Int32 ones
      // become the nearest Float32.
      elem = '4';
      uint8_t* items = payload_.data() + header_at + 6;
      for (size_t i = 0; i < count; ++i) {
        if (kinds[i] != '2') continue;
        const auto v = static_cast<int32_t>(load_u32(items + 4 * i));
        ByteBuffer::store_u32(items + 4 * i, std::bit_cast<uint32_t>(static_cast<float>(v)));
      }
    }
  } else {
    for (size_t i = 0; i < count; ++i) {
      if (kinds[i] != elem) {
        set_mismatch(i, kinds[i], elem);
        break;
      }
    }
  }
  // An array of numbers holds nothing that takes a definition, so taking its id only now still
  // numbers it before anything inside it.
  if (!has_id) set_array_definition(header_at, elem);
  payload_.patch_u16(header_at + 4, static_cast<uint16_t>(count));
  kinds_.resize(kinds_at);
  closed(load_u16(payload_.data() + header_at));
}

void EmitBuilder::end_object() {
  const size_t header_at = open_.back().header_at;
  const size_t kinds_at = open_.back().kinds_at;
  open_.pop_back();
  const uint16_t id =
      object_definition(std::string_view(kinds_.data() + kinds_at, kinds_.size() - kinds_at));
  payload_.patch_u16(header_at, id);
  kinds_.resize(kinds_at);
  closed(id);
}

uint16_t EmitBuilder::new_array_definition(char elem_kind) {
  const uint16_t id = take_id();
  array_defs_[static_cast<size_t>(elem_kind - '0')] = id;
  defs_.put_u8(static_cast<uint8_t>(TypeTag::Array));
  defs_.put_u16(id);
  defs_.put_u8(static_cast<uint8_t>(tag_of_char(elem_kind)));
  return id;
}

uint16_t EmitBuilder::object_definition(std::string_view kinds) {
  const auto key = [&](uint32_t e) {
    const size_t from = e == 0 ? 0 : object_key_ends_[e - 1];
    return std::string_view(object_keys_.data() + from, object_key_ends_[e] - from);
  };
  // Objects next to each other at one depth mostly share their layout: the definition last
  // found at this depth is tried before the index.
  uint32_t& last = last_object_at_depth_[std::min(open_.size(), last_object_at_depth_.size() - 1)];
  if (last != HashIndex::NONE && key(last) == kinds) return object_ids_[last];
  const uint64_t hash = hash_bytes(kinds);
  const uint32_t found = object_index_.find(hash, [&](uint32_t e) { return key(e) == kinds; });
  if (found != HashIndex::NONE) {
    last = found;
    return object_ids_[found];
  }

  const uint16_t id = take_id();
  const size_t count = kinds.size();
  defs_.put_u8(static_cast<uint8_t>(TypeTag::Object));
  defs_.put_u16(id);
  if (count > MAX_ENCODED_FIELDS) {
    if (wide_object_.second == 0) wide_object_ = {id, count};
  } else {
    defs_.put_u16(static_cast<uint16_t>(count));
    // Per field: the name's length, the name "f{i}", the tag.
    for (size_t i = 0; i < count; ++i) {
      uint8_t* p = defs_.extend(8);
      uint8_t* name_end = reinterpret_cast<uint8_t*>(
          std::to_chars(reinterpret_cast<char*>(p + 2), reinterpret_cast<char*>(p + 7), i).ptr);
      p[0] = static_cast<uint8_t>(name_end - p - 1);
      p[1] = 'f';
      *name_end = static_cast<uint8_t>(tag_of_char(kinds[i]));
      defs_.resize(static_cast<size_t>(name_end + 1 - defs_.data()));
    }
  }
  const auto entry = static_cast<uint32_t>(object_ids_.size());
  object_keys_.append(kinds);
  object_key_ends_.push_back(object_keys_.size());
  object_ids_.push_back(id);
  object_index_.insert(hash, entry);
  last = entry;
  return id;
}

void EmitBuilder::set_mismatch(size_t item, char found, char expected) {
  if (mismatch_) return;
  std::string m = "Array item " + std::to_string(item) + " is ";
  m += tag_name(tag_of_char(found));
  m += " but elem_type is ";
  m += tag_name(tag_of_char(expected));
  mismatch_ = FormatError{std::move(m)};
}

}  // namespace vorn

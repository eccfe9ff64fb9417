// The emit builder: takes a value as a stream of items in reading order (depth first, items in
// order) and builds, in the same pass, the payload of the single entry, the definitions of the
// positional scheme and the string dictionary. Free of Python.
//
// Arrays share a definition when their element kinds agree, objects when the kinds of all their
// items agree; an object's fields are named "f0", "f1", ... by position. An array takes its id
// before anything inside it, an object only after everything inside it. Every distinct string is
// listed in the dictionary in first-seen order, while the payload holds every string inline.
//
// The payload is written as the items arrive; a container's definition ids (and an array's
// count) are written back into its header once they are known. Nothing read before is visited
// again, except the Int32 items of an array that turns out to hold numbers of both kinds.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "emit/image_storage.h"
#include "format/byte_buffer.h"
#include "format/format.h"
#include "format/result.h"

namespace vorn {

// Rounds a double to binary32, nearest and ties to even. Magnitudes from the midpoint between
// the largest float and 2^128 on become infinities (the tie goes to the even neighbour, which is
// 2^128); NaN stays NaN. The explicit test keeps the out-of-range conversion, which C++ leaves
// undefined, from ever being made.
inline float to_float32(double d) noexcept {
  constexpr double OVERFLOW_FROM = 0x1.ffffffp127;
  constexpr float INF = std::numeric_limits<float>::infinity();
  if (d >= OVERFLOW_FROM) return INF;
  if (d <= -OVERFLOW_FROM) return -INF;
  return static_cast<float>(d);
}

// Open-addressing index from 64-bit hashes to entry numbers. The caller keeps the keys and
// tells equality, so one index serves keys held anywhere.
class HashIndex {
 public:
  static constexpr uint32_t NONE = UINT32_MAX;

  // The entry whose hash is `hash` and for which `same(entry)` holds, or NONE.
  template <class Same>
  uint32_t find(uint64_t hash, Same&& same) const noexcept {
    if (slots_.empty()) return NONE;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.entry == NONE) return NONE;
      if (s.hash == hash && same(s.entry)) return s.entry;
    }
  }
  // Records `entry` under `hash`; the caller has made sure that the key is not present yet.
  void insert(uint64_t hash, uint32_t entry);

 private:
  struct Slot {
    uint64_t hash = 0;
    uint32_t entry = NONE;
  };
  void grow();

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
};

// A fast non-cryptographic hash of a byte string.
uint64_t hash_bytes(std::string_view bytes) noexcept;

// Whether n bytes at a and b are equal; short runs without a call.
inline bool same_bytes(const char* a, const char* b, size_t n) noexcept {
  const auto load64 = [](const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  const auto load32 = [](const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  };
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) return load64(a) == load64(b) && load64(a + n - 8) == load64(b + n - 8);
  if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// The dictionary of an emit call: every distinct string in first-seen order, as views whose
// bytes the caller keeps alive for the whole call. Strings are found by a hash the caller
// supplies, which must be equal for equal bytes. A slot keeps the address of its string's bytes:
// bytes at that very address, while the string is alive, can only be that string, so meeting
// the same storage again is settled within the slot.
class StringDictionary {
 public:
  // The position of `s`, added at the end when new; `added` tells which.
  uint32_t intern(std::string_view s, uint64_t hash, bool& added) {
    if ((strings_.size() + 1) * 2 > slots_.size()) grow();
    const auto tag = static_cast<uint32_t>(hash);
    for (size_t i = tag & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.data == s.data() && slot.entry != HashIndex::NONE) {
        added = false;
        return slot.entry;
      }
      if (slot.entry == HashIndex::NONE) {
        slot = Slot{tag, static_cast<uint32_t>(strings_.size()), s.data()};
        strings_.push_back(s);
        added = true;
        return slot.entry;
      }
      if (slot.tag == tag) {
        const std::string_view known = strings_[slot.entry];
        if (known.size() == s.size() && same_bytes(known.data(), s.data(), s.size())) {
          added = false;
          return slot.entry;
        }
      }
    }
  }
  // Whether `s` was known already; when not, it is added at the end. Strings met again in the
  // very storage that the dictionary views (dict keys, mostly, which repeat as the same object)
  // are recognised in a small table by address alone.
  bool add(std::string_view s, uint64_t hash) {
    const auto at = reinterpret_cast<uintptr_t>(s.data());
    const char*& seen = seen_[(at >> 4 ^ at >> 12) % seen_.size()];
    if (seen == s.data()) return false;
    bool added = false;
    const uint32_t entry = intern(s, hash, added);
    if (strings_[entry].data() == s.data()) seen = s.data();
    return added;
  }
  const std::vector<std::string_view>& strings() const noexcept { return strings_; }

 private:
  struct Slot {
    uint32_t tag = 0;  // the low half of the hash, which also places the slot
    uint32_t entry = HashIndex::NONE;
    const char* data = nullptr;
  };
  void grow();

  std::vector<std::string_view> strings_;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  std::array<const char*, 512> seen_{};  // addresses of dictionary strings' bytes, by address
};

// The state of one emit call. The caller hands over one value: a scalar, or a container opened
// with begin_*, its items, and end_*; containers nest. Strings' bytes must stay alive and
// unchanged until the image is written.
class EmitBuilder {
 public:
  // The payload goes into storage from `provider`.
  explicit EmitBuilder(ImageStorage::Provider& provider);

  void add_bool(bool value) {
    note_item('1');
    payload_.put_u8(value ? 1 : 0);
  }
  // `bits` are the low 32 bits of the integer.
  void add_int32(uint32_t bits) {
    note_item('2');
    payload_.put_u32(bits);
  }
  void add_float32(float value) {
    note_item('4');
    payload_.put_u32(std::bit_cast<uint32_t>(value));
  }
  // Returns whether the text is new to the dictionary, which then views the caller's bytes.
  bool add_string(std::string_view text, uint64_t hash) {
    note_item('5');
    const bool added = dictionary_.add(text, hash);
    const size_t n = text.size();
    uint8_t* p;
    if (n < 128) {
      p = payload_.extend(1 + n);
      *p++ = static_cast<uint8_t>(n);
    } else if (n < 16384) {
      p = payload_.extend(2 + n);
      *p++ = static_cast<uint8_t>(STRING_MEDIUM | (n >> 8));
      *p++ = static_cast<uint8_t>(n & 0xFF);
    } else if (n <= MAX_INLINE_STRING_LEN) {
      p = payload_.extend(4 + n);
      *p++ = STRING_LONG;
      *p++ = static_cast<uint8_t>(n);
      *p++ = static_cast<uint8_t>(n >> 8);
      *p++ = static_cast<uint8_t>(n >> 16);
    } else {
      // No form holds it; the same text in the dictionary makes the image fail before the payload
      // is looked at.
      return added;
    }
    if (n != 0) std::memcpy(p, text.data(), n);
    return added;
  }

  void begin_array();
  void end_array();
  void begin_object();
  void end_object();

  // After the value: the first array, in the order in which arrays end, whose items do not all
  // have the kind of its first item ("Array item {index} is {found} but elem_type is
  // {expected}"), numbers of both kinds and nothing else aside; such an array holds Float32.
  const std::optional<FormatError>& mismatch() const noexcept { return mismatch_; }

  // The definition block after its u16 count, the six predefined definitions first; the
  // number of definitions it holds, which is what the count must say.
  const ByteBuffer& definition_block() const noexcept { return defs_; }
  size_t definition_count() const noexcept { return def_count_; }
  // The first object definition with more fields than a u16 counts, whose fields are then not
  // written: its id and field count, or a count of 0.
  std::pair<uint16_t, size_t> wide_object() const noexcept { return wide_object_; }
  const std::vector<std::string_view>& strings() const noexcept { return dictionary_.strings(); }
  ImageStorage& payload() noexcept { return payload_; }
  const ImageStorage& payload() const noexcept { return payload_; }
  // The entry's definition index: the root container's id, or the predefined definition of a
  // scalar root's kind.
  uint16_t root_definition() const noexcept { return root_definition_; }
  // The item count of the first array in the payload with more items than a u16 holds, or 0.
  size_t oversized_array() const noexcept { return oversized_count_; }

 private:
  struct Open {
    size_t header_at;  // where the container's payload starts
    size_t kinds_at;   // where its items' kind characters start on kinds_
    bool is_array;
    bool has_id;  // an array whose definition is known from its first item
  };

  // Notes the kind of an item that starts now, for the container around it; an array whose
  // first item this is takes its definition now, unless that item is a number.
  void note_item(char kind) {
    if (open_.empty()) {
      root_definition_ = static_cast<uint16_t>(kind - '0');
      return;
    }
    Open& o = open_.back();
    if (o.is_array && kinds_.size() == o.kinds_at && kind != '2' && kind != '4') {
      set_array_definition(o.header_at, kind);
      o.has_id = true;
    }
    kinds_.push_back(kind);
  }
  void set_array_definition(size_t header_at, char elem_kind) {
    const uint32_t known = array_defs_[static_cast<size_t>(elem_kind - '0')];
    const uint16_t id =
        known != HashIndex::NONE ? static_cast<uint16_t>(known) : new_array_definition(elem_kind);
    uint8_t* p = payload_.data() + header_at;
    p[0] = p[2] = static_cast<uint8_t>(id);  // elem_def_index: the array's own definition
    p[1] = p[3] = static_cast<uint8_t>(id >> 8);
  }
  uint16_t new_array_definition(char elem_kind);
  uint16_t object_definition(std::string_view kinds);
  void set_mismatch(size_t item, char found, char expected);
  void closed(uint16_t id) {
    if (open_.empty()) root_definition_ = id;
  }

  uint16_t take_id() {
    ++def_count_;
    return next_id_++;
  }

  ByteBuffer defs_;  // definitions in the image's layout, each written when it is made
  size_t def_count_ = 6;
  std::pair<uint16_t, size_t> wide_object_{0, 0};
  StringDictionary dictionary_;
  ImageStorage payload_;
  std::vector<Open> open_;
  // The kind characters of the items of every open container, each container's above those of
  // the containers around it.
  std::string kinds_;
  // The array definition per element kind character ("arr:0:{elem}" is the key text, so the
  // element kind alone tells array definitions apart), NONE where there is none yet.
  std::array<uint32_t, 8> array_defs_;
  // Object definitions by the kind characters of their items ("obj:0:" and the commas are the
  // same in every key text and left out); the known keys back to back in object_keys_.
  HashIndex object_index_;
  std::string object_keys_;
  std::vector<size_t> object_key_ends_;
  std::vector<uint16_t> object_ids_;
  std::array<uint32_t, 32> last_object_at_depth_;  // the deepest entry serves all deeper ones
  uint16_t next_id_ = 6;  // wraps after 65535; an image of that many definitions is refused
  uint16_t root_definition_ = 0;
  std::optional<FormatError> mismatch_;
  size_t oversized_at_ = SIZE_MAX;  // header of the first oversized array in the payload
  size_t oversized_count_ = 0;
};

}  // namespace vorn

// The emit builder: derives the definitions and the string dictionary of an emit tree by the
// positional scheme, and gives every container the id of its definition. Free of Python.
//
// Arrays share a definition when their element kinds agree, objects when the kinds of all their
// items agree; an object's fields are named "f0", "f1", ... by position. An array takes its id
// before anything inside it, an object only after everything inside it.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "emit/emit_tree.h"
#include "format/format.h"
#include "format/result.h"

namespace vorn {

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
        if (known.size() == s.size() && std::memcmp(known.data(), s.data(), s.size()) == 0) {
          added = false;
          return slot.entry;
        }
      }
    }
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
};

// A fast non-cryptographic hash of a byte string.
uint64_t hash_bytes(std::string_view bytes) noexcept;

// The state of one emit call.
struct EmitBuilder {
  // Starts with the six predefined definitions; each new one is appended, so position == id.
  std::vector<Definition> definitions = predefined_definitions();
  // Filled by whoever fills the tree, in the order in which it meets the strings: the
  // depth-first, left-to-right order of the tree, keys and values alike.
  StringDictionary dictionary;
  // The array definition per element kind, NONE where there is none yet. The key text of an
  // array definition is "arr:0:{elem}", so the element kind alone tells keys apart.
  std::array<uint32_t, 18> array_defs = filled_none();
  // Object definitions by the kind characters of their items ("obj:0:" and the commas are the
  // same in every key text and left out). Known keys are kept back to back in
  // `object_key_text`; the key of the object being walked is built on `key_stack`, above those
  // of the objects around it.
  HashIndex object_index;
  std::string object_key_text;
  std::vector<uint32_t> object_key_ends;  // per object definition, its key's end in the text
  std::vector<uint16_t> object_key_ids;
  std::string key_stack;
  uint16_t next_id = 6;  // wraps after 65535; the encoder refuses that many definitions anyway

  // Payload bytes of the tree as the encoder would write them, summed while interning.
  uint64_t payload_size = 0;
  // The first array in pre-order with more items than the u16 count holds, if any.
  uint32_t oversized_array = UINT32_MAX;

 private:
  static std::array<uint32_t, 18> filled_none() {
    std::array<uint32_t, 18> a;
    a.fill(HashIndex::NONE);
    return a;
  }
};

// Walks the subtree at `index`, whose strings are in `b.dictionary` already: adds its
// definitions to `b`, stores each container's definition id in its node's `def`, and turns the
// Int32 items of an array that holds numbers of both kinds, and nothing else, into the nearest
// Float32. Fails with "Array item {index} is {found} but elem_type is {expected}" for any other
// array whose items do not share the kind of its first item; each array is checked after its
// items, so the first failure of the walk in post-order is the one returned.
Status intern_value(EmitBuilder& b, EmitTree& tree, uint32_t index);

// The definition index of the entry: the root container's id, or the predefined definition of a
// scalar root's kind.
uint16_t root_definition(const EmitTree& tree);

}  // namespace vorn

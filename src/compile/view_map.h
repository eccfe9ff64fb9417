// A hash map from byte strings to small values, for lookups only: nothing ever iterates it, so
// its order cannot reach an image. Keys are views whose bytes the caller keeps alive and
// unchanged for as long as the map lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "format/bytes.h"
#include "format/probe_table.h"

namespace vorn {

// The hash of a key under a map's key at the time it was taken (see ViewMap::hash).
struct ViewHash {
  uint64_t value;
  uint32_t epoch;
};

// Slots are sixteen bytes (address, length, value). A map starts at most half full for the
// keys it expects and grows when it would be three quarters full, so that a map that grows with
// a large input holds no more than three empty slots per key. Keys of 4 GiB or more are never
// found again (each gets a slot of its own). Neither copyable nor movable.
template <class V>
class ViewMap {
  static_assert(sizeof(V) <= 4);

 public:
  // Sized so that `expected` keys fit without growing.
  explicit ViewMap(size_t expected = 8) {
    // A small map takes the inline slots, zeroed at its first insertion.
    if (expected > INLINE_SLOTS / 2) table_.reserve(expected * 3 / 2);
  }

  // Forgets every key and gives heap storage back; the map is then as new and empty.
  void release() noexcept { table_.release(); }

  // The hash of `key` under the map's key; it serves until the map's next insertion changes
  // the key (which the epoch tells).
  ViewHash hash(std::string_view key) const noexcept {
    return ViewHash{hash_bytes(key, table_.key()), table_.epoch()};
  }

  // The value under `key`, or nullptr.
  V* find(std::string_view key) noexcept { return find(key, hash(key)); }
  V* find(std::string_view key, ViewHash h) noexcept {
    Slot* s = table_.find(current(key, h), [key](const Slot& x) { return equal(x, key); });
    return s == nullptr ? nullptr : &s->value;
  }

  // The value under `key`, inserting `fresh` first when the key is absent; the flag tells
  // whether it was inserted. The pointer stays valid until the next insertion.
  std::pair<V*, bool> try_emplace(std::string_view key, ViewHash h, V fresh) {
    auto [s, inserted] = table_.insert(
        current(key, h), [key](const Slot& x) { return equal(x, key); },
        [key](const HashKey& k) { return hash_bytes(key, k); },
        [this](Slot& x, bool) {
          return hash_bytes(std::string_view(x.data, x.size), table_.key());
        });
    if (inserted) {
      // An empty key must still mark its slot as taken.
      s->data = key.data() == nullptr ? EMPTY : key.data();
      s->size = key.size() > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(key.size());
      s->value = fresh;
    }
    return {&s->value, inserted};
  }
  std::pair<V*, bool> try_emplace(std::string_view key, V fresh) {
    return try_emplace(key, hash(key), fresh);
  }

  size_t size() const noexcept { return table_.size(); }
  // Bytes of the slot table.
  size_t table_bytes() const noexcept { return table_.table_bytes(); }
  // Asks for the slot where a lookup of `h` starts to be brought into the cache.
  void prefetch(ViewHash h) const noexcept {
    if (h.epoch == table_.epoch()) table_.prefetch(h.value);
  }
  // Slots probed so far, and re-keyings made.
  uint64_t probes() const noexcept { return table_.probes(); }
  uint32_t rekeys() const noexcept { return table_.rekeys(); }

 private:
  struct Slot {
    const char* data;  // nullptr: the slot is free
    uint32_t size;
    V value;
    bool used() const noexcept { return data != nullptr; }
  };

  static constexpr const char* EMPTY = "";
  static constexpr size_t INLINE_SLOTS = 16;

  static bool equal(const Slot& s, std::string_view key) noexcept {
    return s.size == key.size() && bytes_equal(std::string_view(s.data, s.size), key);
  }
  // `h` when it was taken under the map's present key, else the hash under that key.
  uint64_t current(std::string_view key, ViewHash h) const noexcept {
    return h.epoch == table_.epoch() ? h.value : hash_bytes(key, table_.key());
  }

  ProbeTable<Slot, INLINE_SLOTS, 75> table_;
};

}  // namespace vorn

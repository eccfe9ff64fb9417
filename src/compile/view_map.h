// An open-addressing hash map from byte strings to small values, for lookups only: nothing ever
// iterates it, so its order cannot reach an image. Keys are views whose bytes the caller keeps
// alive and unchanged for as long as the map lives.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "format/bytes.h"

namespace vorn {

// Slots are sixteen bytes (address, length, value) and probed linearly. A map starts at most
// half full for the keys it expects and doubles when it would be three quarters full, so that a
// map that grows with a large input holds no more than three empty slots per key. Keys of 4 GiB
// or more are never found again (each gets a slot of its own).
template <class V>
class ViewMap {
  static_assert(sizeof(V) <= 4);

 public:
  // Sized so that `expected` keys fit without growing.
  explicit ViewMap(size_t expected = 8) { rehash(capacity_for(expected)); }

  // The value under `key`, or nullptr.
  V* find(std::string_view key) noexcept { return find(key, hash_bytes(key)); }
  V* find(std::string_view key, uint64_t hash) noexcept {
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.data == nullptr) return nullptr;
      if (equal(s, key)) return &s.value;
    }
  }

  // The value under `key`, inserting `fresh` first when the key is absent; the flag tells
  // whether it was inserted. The pointer stays valid until the next insertion. `hash` must be
  // hash_bytes(key).
  std::pair<V*, bool> try_emplace(std::string_view key, uint64_t hash, V fresh) {
    size_t i = hash & mask_;
    for (;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.data == nullptr) break;
      if (equal(s, key)) return {&s.value, false};
    }
    if ((size_ + 1) * 4 > slots_.size() * 3) {
      rehash(slots_.size() * 2);
      for (i = hash & mask_; slots_[i].data != nullptr; i = (i + 1) & mask_) {
      }
    }
    Slot& s = slots_[i];
    // An empty key must still mark its slot as taken.
    s.data = key.data() == nullptr ? EMPTY : key.data();
    s.size = key.size() > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(key.size());
    s.value = fresh;
    ++size_;
    return {&s.value, true};
  }
  std::pair<V*, bool> try_emplace(std::string_view key, V fresh) {
    return try_emplace(key, hash_bytes(key), fresh);
  }

  size_t size() const noexcept { return size_; }

 private:
  struct Slot {
    const char* data = nullptr;  // nullptr: the slot is free
    uint32_t size = 0;
    V value{};
  };

  static constexpr const char* EMPTY = "";

  static size_t capacity_for(size_t n) { return std::bit_ceil(n * 2 < 16 ? size_t{16} : n * 2); }

  static bool equal(const Slot& s, std::string_view key) noexcept {
    return s.size == key.size() && bytes_equal(std::string_view(s.data, s.size), key);
  }

  [[gnu::noinline]] void rehash(size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    mask_ = capacity - 1;
    for (const Slot& s : old) {
      if (s.data == nullptr) continue;
      size_t i = hash_bytes(std::string_view(s.data, s.size)) & mask_;
      while (slots_[i].data != nullptr) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace vorn

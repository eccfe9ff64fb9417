// An open-addressing hash map from byte strings to small values, for lookups only: nothing ever
// iterates it, so its order cannot reach an image. Keys are views whose bytes the caller keeps
// alive and unchanged for as long as the map lives.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "compile/huge_pages.h"
#include "format/bytes.h"

namespace vorn {

// Slots are sixteen bytes (address, length, value) and probed linearly. A map starts at most
// half full for the keys it expects and doubles when it would be three quarters full, so that a
// map that grows with a large input holds no more than three empty slots per key. Keys of 4 GiB
// or more are never found again (each gets a slot of its own). The first sixteen slots live in
// the map itself, so that a map for a few keys costs no allocation; neither copyable nor
// movable, since it points into itself.
template <class V>
class ViewMap {
  static_assert(sizeof(V) <= 4);

 public:
  // Sized so that `expected` keys fit without growing.
  explicit ViewMap(size_t expected = 8) {
    // A small map takes the inline slots, zeroed at its first insertion.
    if (expected > INLINE_SLOTS / 2) rehash(capacity_for(expected));
  }
  ViewMap(const ViewMap&) = delete;
  ViewMap& operator=(const ViewMap&) = delete;
  ~ViewMap() { free_slots(); }

  // Forgets every key and gives heap storage back; the map is then as new and empty.
  void release() noexcept {
    free_slots();
    slots_ = nullptr;
    mask_ = INLINE_SLOTS - 1;
    size_ = 0;
  }

  // The value under `key`, or nullptr.
  V* find(std::string_view key) noexcept { return find(key, hash_bytes(key)); }
  V* find(std::string_view key, uint64_t hash) noexcept {
    if (slots_ == nullptr) return nullptr;
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
    if (slots_ == nullptr) [[unlikely]] {
      use_inline();
    }
    size_t i = hash & mask_;
    for (;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.data == nullptr) break;
      if (equal(s, key)) return {&s.value, false};
    }
    if ((size_ + 1) * 4 > (mask_ + 1) * 3) [[unlikely]] {
      rehash((mask_ + 1) * 2);
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
  // Bytes of the slot table.
  size_t table_bytes() const noexcept { return (mask_ + 1) * sizeof(Slot); }
  // Asks for the slot where a lookup of `hash` starts to be brought into the cache.
  void prefetch(uint64_t hash) const noexcept {
    if (slots_ != nullptr) __builtin_prefetch(&slots_[hash & mask_], 1);
  }

 private:
  struct Slot {
    const char* data;  // nullptr: the slot is free
    uint32_t size;
    V value;
  };

  static constexpr const char* EMPTY = "";
  static constexpr size_t INLINE_SLOTS = 16;

  static size_t capacity_for(size_t n) {
    if (n > SIZE_MAX / 4 / sizeof(Slot)) throw std::bad_alloc();
    return std::bit_ceil(n * 2 < INLINE_SLOTS ? INLINE_SLOTS : n * 2);
  }

  void free_slots() noexcept {
    if (slots_ != inline_ && slots_ != nullptr) std::free(slots_);
  }
  // The inline slots, all free, as the table.
  void use_inline() noexcept {
    std::memset(static_cast<void*>(inline_), 0, sizeof inline_);
    slots_ = inline_;
    mask_ = INLINE_SLOTS - 1;
  }

  static bool equal(const Slot& s, std::string_view key) noexcept {
    return s.size == key.size() && bytes_equal(std::string_view(s.data, s.size), key);
  }

  // Moves the keys into `capacity` slots (a power of two, at least INLINE_SLOTS); the inline
  // slots serve only the first, smallest table.
  [[gnu::noinline]] void rehash(size_t capacity) {
    Slot* const old = slots_;
    const size_t old_count = old == nullptr ? 0 : mask_ + 1;
    void* block = std::calloc(capacity, sizeof(Slot));
    if (block == nullptr) throw std::bad_alloc();
    advise_huge_pages(block, capacity * sizeof(Slot), HUGE_PAGES_FOR_TABLE);
    slots_ = static_cast<Slot*>(block);
    mask_ = capacity - 1;
    for (size_t k = 0; k < old_count; ++k) {
      const Slot& s = old[k];
      if (s.data == nullptr) continue;
      size_t i = hash_bytes(std::string_view(s.data, s.size)) & mask_;
      while (slots_[i].data != nullptr) i = (i + 1) & mask_;
      slots_[i] = s;
    }
    if (old != inline_) std::free(old);
  }

  // inline_ or a calloc'd block of mask_ + 1 slots; nullptr while a small map is still empty
  Slot* slots_ = nullptr;
  size_t mask_ = INLINE_SLOTS - 1;
  size_t size_ = 0;
  Slot inline_[INLINE_SLOTS];  // zeroed only when used
};

}  // namespace vorn

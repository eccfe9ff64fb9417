// An open-addressing hash map from byte strings to small values, for lookups only: nothing ever
// iterates it, so its order cannot reach an image. Keys are views whose bytes the caller keeps
// alive and unchanged for as long as the map lives.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn {

// A fast non-cryptographic hash of a byte string, eight bytes at a time.
inline uint64_t hash_bytes(std::string_view s) noexcept {
  constexpr uint64_t K = 0x9E3779B97F4A7C15ull;
  const char* p = s.data();
  size_t n = s.size();
  uint64_t h = 0x243F6A8885A308D3ull ^ (n * K);
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * K;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  if (n != 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * K;
    h ^= h >> 29;
  }
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

template <class V>
class ViewMap {
 public:
  // Sized so that `expected` keys fit without growing.
  explicit ViewMap(size_t expected = 8) { rehash(capacity_for(expected)); }

  // The value under `key`, or nullptr.
  V* find(std::string_view key) noexcept { return find(key, hash_bytes(key)); }
  V* find(std::string_view key, uint64_t hash) noexcept {
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.data == nullptr) return nullptr;
      if (s.full_hash == hash && equal(s, key)) return &s.value;
    }
  }

  // The value under `key`, inserting `fresh` first when the key is absent; the flag tells
  // whether it was inserted. The pointer stays valid until the next insertion.
  std::pair<V*, bool> try_emplace(std::string_view key, uint64_t hash, V fresh) {
    size_t i = hash & mask_;
    for (;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.data == nullptr) break;
      if (s.full_hash == hash && equal(s, key)) return {&s.value, false};
    }
    if ((size_ + 1) * 2 > slots_.size()) {
      rehash(slots_.size() * 2);
      for (i = hash & mask_; slots_[i].data != nullptr; i = (i + 1) & mask_) {
      }
    }
    Slot& s = slots_[i];
    // An empty key must still mark its slot as taken.
    s.data = key.data() == nullptr ? EMPTY : key.data();
    s.size = key.size();
    s.full_hash = hash;
    s.value = std::move(fresh);
    ++size_;
    return {&s.value, true};
  }
  std::pair<V*, bool> try_emplace(std::string_view key, V fresh) {
    return try_emplace(key, hash_bytes(key), std::move(fresh));
  }

  size_t size() const noexcept { return size_; }

 private:
  struct Slot {
    const char* data = nullptr;  // nullptr: the slot is free
    size_t size = 0;
    uint64_t full_hash = 0;
    V value{};
  };

  static constexpr const char* EMPTY = "";

  static size_t capacity_for(size_t n) { return std::bit_ceil(n * 2 < 16 ? size_t{16} : n * 2); }

  static bool equal(const Slot& s, std::string_view key) noexcept {
    return s.size == key.size() && (key.empty() || std::memcmp(s.data, key.data(), s.size) == 0);
  }

  void rehash(size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    mask_ = capacity - 1;
    for (Slot& s : old) {
      if (s.data == nullptr) continue;
      size_t i = s.full_hash & mask_;
      while (slots_[i].data != nullptr) i = (i + 1) & mask_;
      slots_[i] = std::move(s);
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace vorn

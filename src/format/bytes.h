// Byte-string helpers shared by every stage that keys tables by bytes: word loads, a fast keyed
// non-cryptographic hash and an equality test, all without calls for short strings. Free of
// Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorn {

__extension__ typedef unsigned __int128 uint128_for_hash;

inline uint64_t load_u64(const char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint64_t load_u32_word(const char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The secret of a keyed hash: `seed` goes into the initial state, the others into the blocks
// and the last step, so that hashes, and so collisions, cannot be worked out without it. Each
// table draws one from the process's secret (hash_key.h) and may replace its own.
struct HashKey {
  uint64_t seed;
  uint64_t block;
  uint64_t pair;
  uint64_t last;
};

// Folds two words into one by a full 64x64-bit product. Someone who knows the key can make an
// operand zero (or one) and so make any number of keys collide: nothing fast prevents that once
// the key is known, so the tables bound what it costs instead (probe_table.h).
inline uint64_t mix_hash(uint64_t a, uint64_t b) noexcept {
  const uint128_for_hash r = static_cast<uint128_for_hash>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

// A fast keyed non-cryptographic hash of a byte string. Short strings take two overlapping loads
// and no loop; every load stays inside the string.
inline uint64_t hash_bytes(std::string_view s, const HashKey& key) noexcept {
  constexpr uint64_t K = 0x9E3779B97F4A7C15ull;
  const char* p = s.data();
  const size_t n = s.size();
  uint64_t a;
  uint64_t b;
  if (n <= 16) {
    if (n >= 8) {
      a = load_u64(p);
      b = load_u64(p + n - 8);
    } else if (n >= 4) {
      a = load_u32_word(p);
      b = load_u32_word(p + n - 4);
    } else if (n > 0) {
      a = uint64_t{static_cast<uint8_t>(p[0])} << 16 |
          uint64_t{static_cast<uint8_t>(p[n >> 1])} << 8 | static_cast<uint8_t>(p[n - 1]);
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    // Sixteen-byte blocks are mixed independently, each keyed by its position, so that their
    // multiplications overlap instead of waiting for one another.
    uint64_t h = key.seed;
    uint64_t block_key = key.block;
    for (size_t i = 0; i + 16 < n; i += 16, block_key += K) {
      h += mix_hash(load_u64(p + i) ^ block_key, load_u64(p + i + 8) ^ key.pair);
    }
    a = load_u64(p + n - 16) ^ h;
    b = load_u64(p + n - 8);
  }
  return mix_hash(a ^ key.seed ^ (n * K), b ^ key.last);
}

// A hash that a caller supplies (the interpreter's own, say) made into one keyed by `key`: two
// rounds, so that hashes that agree in some bits before agree in none that can be told after.
inline uint64_t rekey_hash(uint64_t hash, const HashKey& key) noexcept {
  return mix_hash(mix_hash(hash ^ key.seed, key.pair) ^ key.block, key.last);
}

// Whether two byte strings are equal; short ones without a call.
inline bool bytes_equal(std::string_view x, std::string_view y) noexcept {
  const size_t n = x.size();
  if (n != y.size()) return false;
  const char* a = x.data();
  const char* b = y.data();
  if (n >= 8) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    return ((load_u64(a) ^ load_u64(b)) | (load_u64(a + n - 8) ^ load_u64(b + n - 8))) == 0;
  }
  if (n >= 4) {
    return ((load_u32_word(a) ^ load_u32_word(b)) |
            (load_u32_word(a + n - 4) ^ load_u32_word(b + n - 4))) == 0;
  }
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace vorn

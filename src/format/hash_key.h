// Where the keys of the hash tables come from. Every table fed by input is keyed, so that keys
// that collide cannot be worked out offline; no key ever reaches an image, since the tables
// answer lookups only. Free of Python.
#pragma once

#include <cstdint>

#include "format/bytes.h"

namespace vorn {

// The key process_hash_key gives, drawn once.
HashKey draw_process_hash_key() noexcept;

#if defined(VORN_FIXED_HASH_KEY)
// The block word is ASCII text ("q7Rv2Lxe"), so that tests can write keys that collide in every
// bit under this key as JSON text.
inline constexpr HashKey FIXED_HASH_KEY{0x243F6A8885A308D3ull, 0x65784C3276523771ull,
                                        0xA4093822299F31D0ull, 0x082EFA98EC4E6C89ull};
#endif

// The process's hash key, drawn from the system's random source on first use (from other
// entropy where there is none). A build with VORN_FIXED_HASH_KEY, for tests and benchmarks
// only, uses a fixed key instead, so that colliding keys can be built against it. Inline, so
// that a table made per call costs no call for its key, only the check that it was drawn.
inline const HashKey& process_hash_key() noexcept {
#if defined(VORN_FIXED_HASH_KEY)
  return FIXED_HASH_KEY;
#else
  static const HashKey key = draw_process_hash_key();
  return key;
#endif
}

// A new key, for a table that has met a probe sequence too long to be chance: drawn afresh from
// the random source. In a build with VORN_FIXED_HASH_KEY it follows from `old` alone, so that a
// test sees the same tables every run.
HashKey fresh_hash_key(const HashKey& old) noexcept;

}  // namespace vorn

// Where the keys of the hash tables come from. Every table fed by input is keyed, so that keys
// that collide cannot be worked out offline; no key ever reaches an image, since the tables
// answer lookups only. Free of Python.
#pragma once

#include <cstdint>

#include "format/bytes.h"

namespace vorn {

// The process's hash key, drawn from the system's random source on first use (from other
// entropy where there is none). A build with VORN_FIXED_HASH_KEY, for tests and benchmarks
// only, uses a fixed key instead, so that colliding keys can be built against it.
const HashKey& process_hash_key() noexcept;

// A new key, for a table that has met a probe sequence too long to be chance: drawn afresh from
// the random source. In a build with VORN_FIXED_HASH_KEY it follows from `old` alone, so that a
// test sees the same tables every run.
HashKey fresh_hash_key(const HashKey& old) noexcept;

}  // namespace vorn

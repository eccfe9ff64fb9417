#include "format/hash_key.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

#if defined(__linux__)
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#endif

namespace vorn {

namespace {

#if !defined(VORN_FIXED_HASH_KEY)
// Fills `out` from the kernel's random source; false when it cannot (an old kernel, a sandbox
// that forbids the call, no /dev/urandom). A read cut short by a signal is taken up again.
bool system_random(void* out, size_t n) noexcept {
#if defined(__linux__)
  auto* p = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = getrandom(p + got, n - got, GRND_NONBLOCK);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r < 0 && errno != EINTR) {
      break;
    }
  }
  if (got == n) return true;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (got < n) {
    const ssize_t r = read(fd, p + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return got == n;
#else
  (void)out;
  (void)n;
  return false;
#endif
}

// A key from what varies between processes and calls when the system gives no random bytes:
// the clocks, addresses that address-space randomisation moves, the process id. Weaker than the
// random source, but still not known in advance to whoever prepares an input.
HashKey weak_key(const HashKey& old) noexcept {
  static int anchor;
  uint64_t state =
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  state ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
           0x9E3779B97F4A7C15ull;
  state ^= reinterpret_cast<uintptr_t>(&anchor) ^ (reinterpret_cast<uintptr_t>(&state) << 17);
#if defined(__linux__)
  state ^= static_cast<uint64_t>(getpid()) << 40;
#endif
  HashKey key;
  uint64_t* words[] = {&key.seed, &key.block, &key.pair, &key.last};
  const uint64_t old_words[] = {old.seed, old.block, old.pair, old.last};
  for (size_t i = 0; i < 4; ++i) {
    state = mix_hash(state ^ old_words[i], 0xA0761D6478BD642Full + i);
    *words[i] = state;
  }
  return key;
}

HashKey random_key(const HashKey& old) noexcept {
  HashKey key;
  if (system_random(&key, sizeof key)) return key;
  return weak_key(old);
}
#endif

}  // namespace

HashKey draw_process_hash_key() noexcept {
#if defined(VORN_FIXED_HASH_KEY)
  return FIXED_HASH_KEY;
#else
  return random_key(HashKey{1, 2, 3, 4});
#endif
}

HashKey fresh_hash_key(const HashKey& old) noexcept {
#if defined(VORN_FIXED_HASH_KEY)
  HashKey key;
  key.seed = mix_hash(old.seed ^ 0x452821E638D01377ull, 0xBE5466CF34E90C6Cull);
  key.block = mix_hash(old.block ^ key.seed, 0xC0AC29B7C97C50DDull);
  key.pair = mix_hash(old.pair ^ key.block, 0x3F84D5B5B5470917ull);
  key.last = mix_hash(old.last ^ key.pair, 0x9216D5D98979FB1Bull);
  return key;
#else
  return random_key(old);
#endif
}

}  // namespace vorn

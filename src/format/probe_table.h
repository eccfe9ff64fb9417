// The one open-addressing hash table behind every lookup map that input fills: the compiler's
// strings, layouts and object definitions, emit's dictionary and layouts, loads' field names.
// Lookups only: nothing iterates a table for output, so neither its order nor its key can reach
// an image. Free of Python.
//
// The input chooses the keys, so a table is keyed (hash_key.h) and watches its probe sequences.
// One longer than PROBE_LIMIT slots is taken for an attack (chance makes one at the loads the
// table keeps only with a vanishing probability): a table over half full grows, and one at most
// half full draws a new key and places every key again with it. Someone who has learnt the key
// can then make at most PROBE_LIMIT probes per insertion before the key changes under them;
// growth and re-keying each cost time in proportion to the keys, and happen a bounded number of
// times, so that a call stays O(n log n) whatever its input.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "format/bytes.h"
#include "format/hash_key.h"
#include "format/huge_pages.h"

namespace vorn {

// Only the test builds, whose key is fixed, count probes: a release build spares the work.
#if defined(VORN_FIXED_HASH_KEY)
#define VORN_COUNT_PROBES(n) (probes_ += (n))
#else
#define VORN_COUNT_PROBES(n) static_cast<void>(0)
#endif

// Slot: what a table kind keeps per key, trivially copyable, all zero bytes when free, with
// `bool used() const noexcept`. The first INLINE_SLOTS slots live in the table itself, so that a
// table for a few keys costs no allocation; neither copyable nor movable, since it points into
// itself. The table grows (by GROWTH, or 8 then 4 times while small when GROWTH is 0) before it
// would be more than MAX_LOAD_PERCENT full.
//
// The hash a caller passes must be made with key() as it is at the call; a caller that keeps
// hashes across insertions checks epoch(), which changes with the key.
template <class Slot, size_t INLINE_SLOTS, unsigned MAX_LOAD_PERCENT = 75, size_t GROWTH = 2>
class ProbeTable {
  static_assert(std::is_trivially_copyable_v<Slot>);
  static_assert(std::has_single_bit(INLINE_SLOTS) && INLINE_SLOTS >= 8);
  static_assert(MAX_LOAD_PERCENT >= 25 && MAX_LOAD_PERCENT <= 75);

 public:
  // The longest probe sequence taken for chance.
  static constexpr size_t PROBE_LIMIT = 48;
  // Re-keyings a table makes at most; beyond them it stays correct but no longer defends (a
  // fresh random key defeats colliding keys at once, so the limit is met only by a broken hash).
  static constexpr uint32_t MAX_REKEYS = 4;

  ProbeTable() noexcept : key_(&process_hash_key()) {}
  ProbeTable(const ProbeTable&) = delete;
  ProbeTable& operator=(const ProbeTable&) = delete;
  ~ProbeTable() { free_slots(); }

  const HashKey& key() const noexcept { return *key_; }
  uint32_t epoch() const noexcept { return epoch_; }
  size_t size() const noexcept { return size_; }
  // Bytes of the slot table.
  size_t table_bytes() const noexcept { return (mask_ + 1) * sizeof(Slot); }
  // Slots probed so far by lookups, insertions and placing keys again (counted in a build with
  // VORN_FIXED_HASH_KEY only), and re-keyings made: what tests bound.
#if defined(VORN_FIXED_HASH_KEY)
  uint64_t probes() const noexcept { return probes_; }
#else
  uint64_t probes() const noexcept { return 0; }
#endif
  uint32_t rekeys() const noexcept { return epoch_; }

  // Room for `n` keys without growing; only while the table is empty.
  void reserve(size_t n) {
    const size_t want = capacity_for(n);
    auto unused = [](Slot&, bool) { return uint64_t{0}; };  // no used slot to place
    if (size_ == 0 && (slots_ == nullptr || want > mask_ + 1)) rebuild(want, unused);
  }
  // Forgets every key and gives heap storage back; the key stays.
  void release() noexcept {
    free_slots();
    slots_ = nullptr;
    mask_ = INLINE_SLOTS - 1;
    size_ = 0;
  }

  // The used slot for which `match(const Slot&)` holds, found from `hash`, or nullptr.
  template <class Match>
  Slot* find(uint64_t hash, Match&& match) noexcept {
    if (slots_ == nullptr) return nullptr;
    size_t n = 1;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_, ++n) {
      Slot& s = slots_[i];
      if (!s.used()) break;
      if (match(s)) {
        VORN_COUNT_PROBES(n);
        return &s;
      }
    }
    VORN_COUNT_PROBES(n);
    return nullptr;
  }

  // The used slot for which `match` holds, or a free one that the caller fills (making it
  // used) before the table is touched again; the flag tells which. On growth or a new key every
  // used slot is placed again by `rehash(Slot&, bool fresh_key) -> uint64_t`, its hash under
  // key() (a slot that keeps its hash updates it when fresh_key); after a new key the key being
  // looked up is hashed again by `hash_again(const HashKey&) -> uint64_t`.
  template <class Match, class HashAgain, class Rehash>
  std::pair<Slot*, bool> insert(uint64_t hash, Match&& match, HashAgain&& hash_again,
                                Rehash&& rehash) {
    if (slots_ == nullptr) [[unlikely]] {
      use_inline();
    }
    size_t i = hash & mask_;
    size_t n = 0;
    for (; slots_[i].used(); i = (i + 1) & mask_, ++n) {
      if (match(slots_[i])) {
        VORN_COUNT_PROBES(n + 1);
        return {&slots_[i], false};
      }
    }
    VORN_COUNT_PROBES(n + 1);
    while (size_ >= grow_at_ || n > PROBE_LIMIT) [[unlikely]] {
        const uint32_t epoch = epoch_;
        if (!make_room(rehash)) break;
        if (epoch_ != epoch) hash = hash_again(*key_);
        // The key is absent: only a free slot is looked for.
        for (i = hash & mask_, n = 0; slots_[i].used(); i = (i + 1) & mask_) ++n;
        VORN_COUNT_PROBES(n + 1);
      }
    ++size_;
    return {&slots_[i], true};
  }

  // Calls f(Slot&) on every used slot, in no meaningful order (to release what slots own).
  template <class F>
  void for_each_used(F&& f) {
    if (slots_ == nullptr) return;
    for (size_t i = 0; i <= mask_; ++i) {
      if (slots_[i].used()) f(slots_[i]);
    }
  }

  // Asks for the slot where a lookup of `hash` starts to be brought into the cache.
  void prefetch(uint64_t hash) const noexcept {
    if (slots_ != nullptr) __builtin_prefetch(&slots_[hash & mask_], 1);
  }

 private:
  static size_t capacity_for(size_t n) {
    if (n > SIZE_MAX / 128 / sizeof(Slot)) throw std::bad_alloc();
    const size_t need = n * 100 / MAX_LOAD_PERCENT;
    return std::bit_ceil(need < INLINE_SLOTS ? INLINE_SLOTS : need);
  }

  void free_slots() noexcept {
    if (slots_ != inline_ && slots_ != nullptr) std::free(slots_);
  }
  // The inline slots, all free, as the table.
  [[gnu::noinline]] void use_inline() noexcept {
    std::memset(static_cast<void*>(inline_), 0, sizeof inline_);
    slots_ = inline_;
    mask_ = INLINE_SLOTS - 1;
    grow_at_ = INLINE_SLOTS * MAX_LOAD_PERCENT / 100;
  }

  // Room for one more key after a probe sequence of insert's: growth when the table is full,
  // else the answer to a long sequence; false once that answer is to give up defending.
  template <class Rehash>
  [[gnu::noinline]] bool make_room(Rehash& rehash) {
    if (size_ >= grow_at_) {
      grow(rehash);
      return true;
    }
    return defend(rehash);
  }

  template <class Rehash>
  void grow(Rehash& rehash) {
    const size_t slots = mask_ + 1;
    const size_t factor = GROWTH != 0 ? GROWTH : slots < 512 ? 8 : slots < 4096 ? 4 : 2;
    if (slots > SIZE_MAX / 2 / sizeof(Slot) / factor) throw std::bad_alloc();
    rebuild(slots * factor, rehash);
  }

  // Answers a probe sequence longer than PROBE_LIMIT; false once it no longer does.
  template <class Rehash>
  bool defend(Rehash& rehash) {
    if ((size_ + 1) * 2 > mask_ + 1) {
      // Chance makes long sequences in a table over half full: more room breaks them up.
      grow(rehash);
      return true;
    }
    if (epoch_ == MAX_REKEYS) return false;
    ++epoch_;
    own_key_ = fresh_hash_key(*key_);
    key_ = &own_key_;
    rebuild(mask_ + 1, rehash, true);
    return true;
  }

  // Places every used slot into a table of `capacity` slots (a power of two, at least
  // INLINE_SLOTS); the inline slots serve only the first, smallest table.
  template <class Rehash>
  [[gnu::noinline]] void rebuild(size_t capacity, Rehash& rehash, bool fresh_key = false) {
    Slot* const old = slots_;
    const size_t old_count = old == nullptr ? 0 : mask_ + 1;
    Slot* fresh;
    Slot* scratch = nullptr;
    if (capacity == INLINE_SLOTS) {
      // Only a new key rebuilds the inline table in place: its slots go aside first.
      if (old == inline_) {
        scratch = static_cast<Slot*>(std::malloc(sizeof inline_));
        if (scratch == nullptr) throw std::bad_alloc();
        std::memcpy(static_cast<void*>(scratch), inline_, sizeof inline_);
      }
      use_inline();
      fresh = inline_;
    } else {
      void* block = std::calloc(capacity, sizeof(Slot));
      if (block == nullptr) throw std::bad_alloc();
      advise_huge_pages(block, capacity * sizeof(Slot), HUGE_PAGES_FOR_TABLE);
      fresh = static_cast<Slot*>(block);
    }
    const Slot* from = scratch != nullptr ? scratch : old;
    slots_ = fresh;
    mask_ = capacity - 1;
    grow_at_ = capacity / 100 * MAX_LOAD_PERCENT + capacity % 100 * MAX_LOAD_PERCENT / 100;
    for (size_t k = 0; k < old_count; ++k) {
      Slot s = from[k];
      if (!s.used()) continue;
      size_t i = rehash(s, fresh_key) & mask_;
      VORN_COUNT_PROBES(1);
      for (; slots_[i].used(); i = (i + 1) & mask_) VORN_COUNT_PROBES(1);
      slots_[i] = s;
    }
    std::free(scratch);
    if (old != inline_ && old != slots_) std::free(old);
  }

  // The process's key until the table draws its own, own_key_.
  const HashKey* key_;
  HashKey own_key_;
  // inline_ or a calloc'd block of mask_ + 1 slots; nullptr while a small table is still empty
  Slot* slots_ = nullptr;
  size_t mask_ = INLINE_SLOTS - 1;
  size_t size_ = 0;
  size_t grow_at_ = 0;  // the table grows before it holds more keys than this
#if defined(VORN_FIXED_HASH_KEY)
  uint64_t probes_ = 0;
#endif
  uint32_t epoch_ = 0;         // the key's number: 0 for the process's key, then one per new key
  Slot inline_[INLINE_SLOTS];  // zeroed only when used
};

}  // namespace vorn

#undef VORN_COUNT_PROBES

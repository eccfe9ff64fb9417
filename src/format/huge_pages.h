// Advice to the kernel that a large block of memory be backed by huge pages where it can be: a
// hash table spread over hundreds of megabytes then costs one translation miss per 2 MiB rather
// than per 4 KiB, and one page fault instead of 512. Only advice: without support for it, or on
// another system, nothing happens. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vorn {

// A block read and written all over (a hash table) gains from huge pages from a few of them on;
// one filled from its start (a tape) mostly saves page faults, and since each end of what it
// has filled takes a whole huge page, only a large one is worth it.
inline constexpr size_t HUGE_PAGES_FOR_TABLE = size_t{4} << 20;
inline constexpr size_t HUGE_PAGES_FOR_STREAM = size_t{32} << 20;

// Advises huge pages for the whole 2 MiB pages inside [p, p + n) when n is at least `min_block`.
inline void advise_huge_pages(void* p, size_t n, size_t min_block) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t HUGE_PAGE = uintptr_t{2} << 20;
  if (n < min_block) return;
  const auto begin = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = (begin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  const uintptr_t last = (begin + n) & ~(HUGE_PAGE - 1);
  if (last > first) {
    // Failure only means no huge pages.
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#else
  (void)p;
  (void)n;
  (void)min_block;
#endif
}

}  // namespace vorn

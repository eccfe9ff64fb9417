/* An allocator for tests that refuses every block larger than FAILBIG_BYTES bytes (read from the
   environment) with ENOMEM, as a process whose memory has run out refuses a large request while
   small ones still succeed. Preloaded with LD_PRELOAD in a child process; every other block goes
   to the C library's own allocator. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static size_t largest(void) {
  static size_t bytes;
  static int known;
  if (!known) {
    const char* text = getenv("FAILBIG_BYTES");
    bytes = text ? (size_t)strtoull(text, NULL, 10) : (size_t)-1;
    known = 1;
  }
  return bytes;
}

static int refused(size_t n) {
  if (n <= largest()) return 0;
  errno = ENOMEM;
  return 1;
}

void* malloc(size_t n) { return refused(n) ? NULL : __libc_malloc(n); }

void* calloc(size_t count, size_t n) {
  if (n != 0 && count > (size_t)-1 / n) return __libc_calloc(count, n);
  return refused(count * n) ? NULL : __libc_calloc(count, n);
}

void* realloc(void* p, size_t n) { return refused(n) ? NULL : __libc_realloc(p, n); }

void* memalign(size_t alignment, size_t n) {
  return refused(n) ? NULL : __libc_memalign(alignment, n);
}

void* aligned_alloc(size_t alignment, size_t n) { return memalign(alignment, n); }

int posix_memalign(void** out, size_t alignment, size_t n) {
  if (refused(n)) return ENOMEM;
  void* p = __libc_memalign(alignment, n);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

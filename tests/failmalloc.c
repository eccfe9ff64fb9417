/* An allocator for tests that fails on request: after failmalloc_arm(from, count), allocation
   calls number from, from + 1, ..., from + count - 1 (counting from 1 since the arming) return
   NULL with errno ENOMEM; failmalloc_disarm() stops it. Preloaded with LD_PRELOAD in a child
   process; everything else goes to the C library's own allocator. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
extern void __libc_free(void*);

static long counter;
static long fail_from = -1;
static long fail_count;

void failmalloc_arm(long from, long count) {
  __atomic_store_n(&counter, 0, __ATOMIC_SEQ_CST);
  fail_count = count;
  __atomic_store_n(&fail_from, from, __ATOMIC_SEQ_CST);
}

void failmalloc_disarm(void) { __atomic_store_n(&fail_from, -1, __ATOMIC_SEQ_CST); }

/* Allocation calls since the arming. */
long failmalloc_calls(void) { return __atomic_load_n(&counter, __ATOMIC_SEQ_CST); }

static int fail(void) {
  const long from = __atomic_load_n(&fail_from, __ATOMIC_SEQ_CST);
  if (from < 0) return 0;
  const long c = __atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST);
  if (c >= from && c < from + fail_count) {
    errno = ENOMEM;
    return 1;
  }
  return 0;
}

void* malloc(size_t n) { return fail() ? NULL : __libc_malloc(n); }
void* calloc(size_t a, size_t b) { return fail() ? NULL : __libc_calloc(a, b); }
void* realloc(void* p, size_t n) { return fail() ? NULL : __libc_realloc(p, n); }
void* memalign(size_t a, size_t n) { return fail() ? NULL : __libc_memalign(a, n); }
void* aligned_alloc(size_t a, size_t n) { return fail() ? NULL : __libc_memalign(a, n); }
int posix_memalign(void** out, size_t a, size_t n) {
  if (fail()) return ENOMEM;
  void* p = __libc_memalign(a, n);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) { __libc_free(p); }

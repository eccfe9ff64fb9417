/* Stops or ends a process at a chosen step of a file replacement, for tests that must not aim by
   a clock. KILLPOINT names the step: "create", "write", "fsync" or "renameat" to act just before
   that call on a temporary file (a name ending in ".tmp"), with a "+" after it ("renameat+") to
   act just after the call returned. KILLPOINT_SIGNAL is the signal the process sends itself
   (SIGKILL when unset; SIGSTOP leaves it stopped for the test to look at the files). Only the
   first such call counts. Preloaded with LD_PRELOAD in a child process. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int fired;

static int armed(void) { return !__atomic_load_n(&fired, __ATOMIC_SEQ_CST) && getenv("KILLPOINT"); }

static int temporary_name(const char* name) {
  const size_t n = strlen(name);
  return n >= 4 && strcmp(name + n - 4, ".tmp") == 0;
}

static int temporary_fd(int fd) {
  char link[64], name[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, name, sizeof name - 1);
  if (n <= 0) return 0;
  name[n] = '\0';
  return temporary_name(name);
}

static void step(const char* call, int after) {
  const char* point = getenv("KILLPOINT");
  const size_t len = strlen(call);
  if (point == NULL || strncmp(point, call, len) != 0) return;
  if (strcmp(point + len, after ? "+" : "") != 0) return;
  if (__atomic_exchange_n(&fired, 1, __ATOMIC_SEQ_CST)) return;
  const char* sig = getenv("KILLPOINT_SIGNAL");
  raise(sig ? atoi(sig) : SIGKILL);
}

#define REAL(name)                      \
  static __typeof__(name)* real_##name; \
  if (!real_##name) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

int openat(int dir, const char* path, int flags, ...) {
  REAL(openat);
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  const int watched = armed() && (flags & O_CREAT) && temporary_name(path);
  if (watched) step("create", 0);
  const int fd = real_openat(dir, path, flags, mode);
  if (watched) step("create", 1);
  return fd;
}

ssize_t write(int fd, const void* buf, size_t count) {
  REAL(write);
  const int watched = armed() && temporary_fd(fd);
  if (watched) step("write", 0);
  const ssize_t n = real_write(fd, buf, count);
  if (watched) step("write", 1);
  return n;
}

int fsync(int fd) {
  REAL(fsync);
  const int watched = armed() && temporary_fd(fd);
  if (watched) step("fsync", 0);
  const int rc = real_fsync(fd);
  if (watched) step("fsync", 1);
  return rc;
}

int renameat(int olddir, const char* oldpath, int newdir, const char* newpath) {
  REAL(renameat);
  const int watched = armed() && temporary_name(oldpath);
  if (watched) step("renameat", 0);
  const int rc = real_renameat(olddir, oldpath, newdir, newpath);
  if (watched) step("renameat", 1);
  return rc;
}

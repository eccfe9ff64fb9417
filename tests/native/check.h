// What the native tests share: CHECK, which counts a failed condition and names the case it was
// in without stopping the test, and the verdict at the end of main.
#pragma once

#include <cstdio>
#include <string>

// Set by a test before its checks, so that a failure says which case it was in.
inline std::string current_case;
inline int check_failures = 0;

#define CHECK(cond)                                                                     \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #cond, \
                   current_case.c_str());                                               \
      ++check_failures;                                                                 \
    }                                                                                   \
  } while (0)

// The exit status of the test `name`: 0 after "{name}: all checks held", else 1 after the count of
// failed checks on standard error.
inline int check_verdict(const char* name) {
  if (check_failures != 0) {
    std::fprintf(stderr, "%s: %d checks failed\n", name, check_failures);
    return 1;
  }
  std::printf("%s: all checks held\n", name);
  return 0;
}

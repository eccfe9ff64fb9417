// The scan kernels of the JSON parser against the scalar reference: every kernel this processor
// runs, and the parser's own entry points (an inline first block, then the narrow or the wide
// loop), on buffers of every length up to 100 with the byte it stops at (or a near miss) at every
// position, and with none at all, so the answer at the end of the buffer and at every block
// boundary is checked. Each buffer is its own allocation of exactly its length, so that a kernel
// reading past the end shows under AddressSanitizer. A plain main: prints each failed check and
// exits 1.
#include <cstdio>
#include <memory>
#include <vector>

#include "compile/scan.h"

namespace {

using vorn::scan::Isa;

int failures = 0;

// A kernel, or the parser's entry point with the narrow or the wide loop behind its first block.
enum class Path { Scalar, Swar, Sse2, Avx2, ParserNarrow, ParserWide };

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::Scalar:
      return "scalar";
    case Isa::Swar:
      return "swar";
    case Isa::Sse2:
      return "sse2";
    case Isa::Avx2:
      return "avx2";
  }
  return "?";
}

const char* path_name(Path path) {
  switch (path) {
    case Path::ParserNarrow:
      return "parser-narrow";
    case Path::ParserWide:
      return "parser-wide";
    default:
      return isa_name(static_cast<Isa>(path));
  }
}

// Whether this build and processor run the path.
bool runs(Path path) {
  if (path == Path::ParserNarrow) return true;
  if (path == Path::ParserWide) return vorn::scan::runs(Isa::Avx2);
  return vorn::scan::runs(static_cast<Isa>(path));
}

const char* string_end(Path path, const char* p, const char* end) {
  switch (path) {
    case Path::Scalar:
      return vorn::scan::string_end<Isa::Scalar>(p, end);
    case Path::Swar:
      return vorn::scan::string_end<Isa::Swar>(p, end);
    case Path::Sse2:
      return vorn::scan::string_end<Isa::Sse2>(p, end);
    case Path::Avx2:
      return vorn::scan::string_end<Isa::Avx2>(p, end);
    case Path::ParserNarrow:
      return vorn::scan::string_end_parser(p, end, false);
    case Path::ParserWide:
      return vorn::scan::string_end_parser(p, end, true);
  }
  return nullptr;
}

const char* ws_end(Path path, const char* p, const char* end) {
  switch (path) {
    case Path::Scalar:
      return vorn::scan::ws_end<Isa::Scalar>(p, end);
    case Path::Swar:
      return vorn::scan::ws_end<Isa::Swar>(p, end);
    case Path::Sse2:
      return vorn::scan::ws_end<Isa::Sse2>(p, end);
    case Path::Avx2:
      return vorn::scan::ws_end<Isa::Avx2>(p, end);
    case Path::ParserNarrow:
      return vorn::scan::ws_end_parser(p, end, false);
    case Path::ParserWide:
      return vorn::scan::ws_end_parser(p, end, true);
  }
  return nullptr;
}

constexpr size_t MAX_LEN = 100;

// Fills a buffer of `len` bytes with `fill`, puts `mark` at `at` (when inside) and checks that
// every kernel stops where the scalar one does.
template <class Scan>
void check(const char* what, Scan scan, size_t len, char fill, size_t at, char mark) {
  const auto buf = std::make_unique<char[]>(len == 0 ? 1 : len);
  for (size_t i = 0; i < len; ++i) buf[i] = fill;
  if (at < len) buf[at] = mark;
  const char* end = buf.get() + len;
  const char* want = scan(Path::Scalar, buf.get(), end);
  for (const Path path :
       {Path::Swar, Path::Sse2, Path::Avx2, Path::ParserNarrow, Path::ParserWide}) {
    if (!runs(path)) continue;
    const char* got = scan(path, buf.get(), end);
    if (got != want) {
      std::fprintf(stderr, "%s/%s: len %zu byte 0x%02x at %zu: %td, want %td\n", what,
                   path_name(path), len, static_cast<unsigned>(static_cast<unsigned char>(mark)),
                   at, got - buf.get(), want - buf.get());
      ++failures;
    }
  }
}

}  // namespace

int main() {
  // The bytes a string stops at, and the bytes next to them that it does not.
  const std::vector<char> string_marks = {'"', '\\', '\0', '\x1F', '\n',   ' ',    '!',
                                          '#', '[',  ']',  '\x7F', '\x80', '\xFF', 'a'};
  // The bytes whitespace stops at, and the whitespace that it does not.
  const std::vector<char> ws_marks = {'x',    '{',    '\0', '\x0B', '\x0C', '\x1F', '!',
                                      '\x80', '\xFF', ' ',  '\n',   '\r',   '\t'};
  const auto strings = [](Path path, const char* p, const char* e) {
    return string_end(path, p, e);
  };
  const auto spaces = [](Path path, const char* p, const char* e) { return ws_end(path, p, e); };
  for (size_t len = 0; len <= MAX_LEN; ++len) {
    for (size_t at = 0; at <= len; ++at) {  // `at == len`: nothing to find before the end
      for (const char mark : string_marks) {
        check("string", strings, len, 'a', at, mark);
        check("string", strings, len, '\xC3', at, mark);  // high bytes must not look special
      }
      for (const char fill : {' ', '\n', '\r', '\t'}) {
        for (const char mark : ws_marks) check("whitespace", spaces, len, fill, at, mark);
      }
    }
  }
  // Whether the processor's widest set is the one the parser picks.
  std::printf("scan kernels: widest set %s; %d failures\n", isa_name(vorn::scan::best_isa()),
              failures);
  return failures == 0 ? 0 : 1;
}

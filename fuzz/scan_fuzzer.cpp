// Arbitrary bytes through every scan kernel the processor runs and the parser's entry points, from
// every start offset to every end: each must stop at the byte where the scalar reference stops. The
// input is copied to an allocation of exactly the scanned length for each end, so a kernel that
// reads past its end shows under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "compile/scan.h"
#include "fuzz_support.h"

namespace {

using vorn::scan::Isa;

// Long inputs only repeat what short ones find, at a cost quadratic in the length.
constexpr size_t LONGEST_INPUT = 256;

template <Isa I>
void check_kernels(const char* p, const char* end) {
  if (!vorn::scan::runs(I)) return;
  VORN_FUZZ_CHECK(vorn::scan::string_end<I>(p, end) == vorn::scan::string_end<Isa::Scalar>(p, end));
  VORN_FUZZ_CHECK(vorn::scan::ws_end<I>(p, end) == vorn::scan::ws_end<Isa::Scalar>(p, end));
}

void check_parser_entries(const char* p, const char* end, bool wide) {
  if (wide && !vorn::scan::runs(Isa::Avx2)) return;
  VORN_FUZZ_CHECK(vorn::scan::string_end_parser(p, end, wide) ==
                  vorn::scan::string_end<Isa::Scalar>(p, end));
  VORN_FUZZ_CHECK(vorn::scan::ws_end_parser(p, end, wide) ==
                  vorn::scan::ws_end<Isa::Scalar>(p, end));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > LONGEST_INPUT) size = LONGEST_INPUT;
  for (size_t len = 0; len <= size; ++len) {
    const auto buf = std::make_unique<char[]>(len == 0 ? 1 : len);
    if (len != 0) std::memcpy(buf.get(), data, len);
    const char* end = buf.get() + len;
    for (const char* p = buf.get(); p <= end; ++p) {
      check_kernels<Isa::Swar>(p, end);
      check_kernels<Isa::Sse2>(p, end);
      check_kernels<Isa::Avx2>(p, end);
      check_parser_entries(p, end, false);
      check_parser_entries(p, end, true);
    }
  }
  return 0;
}

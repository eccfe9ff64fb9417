// Arbitrary bytes as an image, read both ways the decompiler offers: in one walk over the bytes
// (decompile_image, the walk loads uses) and by the chain decode_document then
// decompile_document. Both must give the same tree, or refuse with the same message; neither may
// crash, read out of bounds or leak.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "decompile/decompile.h"
#include "fuzz_support.h"

namespace {

// Prints both messages before the check fails, so that a crash report says how they differ.
void check_same_message(const std::string& walked, const std::string& chained) {
  if (walked == chained) return;
  std::fprintf(stderr, "one walk: %s\nchain:    %s\n", walked.c_str(), chained.c_str());
  VORN_FUZZ_CHECK(walked == chained);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that the address sanitizer sees any read past the end.
  const std::vector<uint8_t> image(data, data + size);
  auto walked = vorn::decompile_image(image);

  auto doc = vorn::decode_document(image);
  if (!doc) {
    VORN_FUZZ_CHECK(!walked);
    check_same_message(walked.error().message, doc.error().message);
    return 0;
  }
  auto chained = vorn::decompile_document(*doc);
  if (!chained) {
    VORN_FUZZ_CHECK(!walked);
    check_same_message(walked.error().message, chained.error().message);
    return 0;
  }
  VORN_FUZZ_CHECK(walked);
  VORN_FUZZ_CHECK(
      vorn::fuzz::same_tree(*walked, walked->root_value(), *chained, chained->root_value()));
  return 0;
}

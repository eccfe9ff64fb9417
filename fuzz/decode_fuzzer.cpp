// Arbitrary bytes as an image: decoding and decompiling must never crash, read out of bounds or
// leak. An image that decodes is written again by the encoder; the copy must decode to the same
// Document and decompile to the same result.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "decode/decode.h"
#include "decompile/decompile.h"
#include "encode/encode.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that the address sanitizer sees any read past the end.
  const std::vector<uint8_t> image(data, data + size);
  auto doc = vorn::decode_document(image);
  if (!doc) return 0;
  auto tree = vorn::decompile_document(*doc);

  auto again = vorn::encode_document(*doc);
  VORN_FUZZ_CHECK(again);  // a decoded Document is always within the encoder's limits
  auto copy = vorn::decode_document(std::span<const uint8_t>(again->data(), again->size()));
  VORN_FUZZ_CHECK(copy);
  VORN_FUZZ_CHECK(vorn::fuzz::same_document(*doc, *copy));
  auto tree_again = vorn::decompile_document(*copy);
  VORN_FUZZ_CHECK(static_cast<bool>(tree) == static_cast<bool>(tree_again));
  if (tree) {
    VORN_FUZZ_CHECK(
        vorn::fuzz::same_tree(*tree, tree->root_value(), *tree_again, tree_again->root_value()));
  } else {
    VORN_FUZZ_CHECK(tree.error().message == tree_again.error().message);
  }
  return 0;
}

// Arbitrary bytes as JSON text. The fused compiler and the reference chain (compile_json,
// encode_document, check_readable) give the same bytes or the same error. Whatever image they
// give must decode and decompile back to the input with its numbers narrowed to 32 bits: an image
// that loads would refuse is refused by the writers themselves, with loads' message.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "compile/compile.h"
#include "compile/compile_image.h"
#include "compile/json_reader.h"
#include "decode/decode.h"
#include "decode/utf8.h"
#include "decompile/decompile.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Text reaches the compiler as valid UTF-8 (a Python str, or a file the command checked).
  if (!vorn::check_utf8(data, size).ok) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The fused compiler must agree with the reference chain byte for byte and message for
  // message.
  auto fused = vorn::compile_image(text);
  auto image = vorn::compile_reference_image(text);
  if (!image) {
    VORN_FUZZ_CHECK(!fused && fused.error().message == image.error().message);
    return 0;
  }
  VORN_FUZZ_CHECK(fused && fused->view() == image->view());

  auto decoded = vorn::decode_document(std::span<const uint8_t>(image->data(), image->size()));
  VORN_FUZZ_CHECK(decoded);
  auto tree = vorn::decompile_document(*decoded);
  VORN_FUZZ_CHECK(tree);
  auto original = vorn::read_json(text);
  VORN_FUZZ_CHECK(original);
  VORN_FUZZ_CHECK(
      vorn::fuzz::narrows_to(*original, original->root_value(), *tree, tree->root_value(), false));
  return 0;
}

// Arbitrary bytes as JSON text. The fused compiler and the reference chain give the same bytes
// or the same error. Whatever compiles must encode, decode and decompile back to the
// input with its numbers narrowed to 32 bits, unless the decoder refuses it by one of its limits
// (more than 2048 definitions, more than 256 fields) or the decompiler meets a float that
// overflowed to infinity.
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
#include "encode/encode.h"
#include "fuzz_support.h"

namespace {

bool intended_decoder_refusal(const std::string& message) {
  return message.starts_with("Definition count ") ||
         (message.starts_with("Object #") && message.ends_with(" fields (max 256)"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Text reaches the compiler as valid UTF-8 (a Python str, or a file the command checked).
  if (!vorn::check_utf8(data, size).ok) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The fused compiler must agree with the reference chain byte for byte and message for
  // message.
  auto fused = vorn::compile_image(text);
  auto doc = vorn::compile_json(text);
  if (!doc) {
    VORN_FUZZ_CHECK(!fused && fused.error().message == doc.error().message);
    return 0;
  }
  auto image = vorn::encode_document(*doc);
  if (!image) {
    // A count the format cannot hold, refused by the encoder.
    VORN_FUZZ_CHECK(!fused && fused.error().message == image.error().message);
    return 0;
  }
  VORN_FUZZ_CHECK(fused && fused->view() == image->view());

  auto decoded = vorn::decode_document(std::span<const uint8_t>(image->data(), image->size()));
  if (!decoded) {
    VORN_FUZZ_CHECK(intended_decoder_refusal(decoded.error().message));
    return 0;
  }
  auto tree = vorn::decompile_document(*decoded);
  if (!tree) {
    VORN_FUZZ_CHECK(tree.error().message.starts_with("Cannot represent float "));
    return 0;
  }
  auto original = vorn::read_json(text);
  VORN_FUZZ_CHECK(original);
  VORN_FUZZ_CHECK(
      vorn::fuzz::narrows_to(*original, original->root_value(), *tree, tree->root_value(), false));
  return 0;
}

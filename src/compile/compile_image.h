// The fused compiler: JSON text straight to image bytes, without a JsonTree of JsonValues, a
// Document or a second pass of the encoder. It gives exactly the bytes, and exactly the errors,
// of compile_reference_image(text) (compile_json, encode_document, check_readable), which stays
// the reference: so it never returns an image that loads refuses. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "format/byte_buffer.h"
#include "format/result.h"

namespace vorn {

// An image in two parts: everything up to the entry's payload, then the payload. Kept apart so
// that the payload, written first, is copied only once, into its final place.
struct ImageParts {
  ByteBuffer head;
  ByteBuffer payload;

  size_t size() const noexcept { return head.size() + payload.size(); }
  // Writes the size() bytes of the image to `out`.
  void copy_to(uint8_t* out) const noexcept;
};

// The image of `text` (valid UTF-8), or the error that compile_reference_image gives: the JSON
// reader's, a mixed array, the encoder's refusals, then the first fault that loads would meet.
Result<ImageParts> compile_image_parts(std::string_view text);

// The same, joined into one buffer.
Result<ByteBuffer> compile_image(std::string_view text);

}  // namespace vorn

// Writes the image of an emit call. Its size is known before a byte is written, so the image
// goes straight into its final storage in one pass. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>

#include "emit/emit_builder.h"
#include "format/byte_buffer.h"
#include "format/result.h"

namespace vorn {

class EmitImage {
 public:
  // Plans the image of the value that `b` has taken in: the definitions go through
  // encode_document, whose refusals (too many definitions, an object definition of more than
  // 65535 fields) come first; then the encoder's tests on the dictionary and the entry are made
  // in the order in which it would meet them: "String exceeds maximum inline length (16 777 215
  // bytes)", "Array has {count} items (max 65535)", "Image exceeds 4294967295 bytes". The
  // definitions are moved out of `b`; the rest of `b` must outlive the plan and stay unchanged.
  static Result<EmitImage> plan(EmitBuilder& b);

  size_t size() const noexcept { return size_; }

  // Writes exactly size() bytes to `out`.
  void write(uint8_t* out) const;

 private:
  explicit EmitImage(const EmitBuilder& b) : b_(&b) {}

  const EmitBuilder* b_;
  ByteBuffer head_;  // the header (offsets still to fill) and the definition block
  size_t size_ = 0;
};

}  // namespace vorn

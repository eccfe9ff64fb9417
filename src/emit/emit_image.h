// Writes the image of an emit call: the header, the definition block and the dictionary, and the
// one entry with the builder's payload. Its size is known before a byte is written, so the image
// goes straight into its final storage. The checks are the encoder's, with its messages. Free of
// Python.
#pragma once

#include <cstddef>
#include <cstdint>

#include "emit/emit_builder.h"
#include "format/byte_buffer.h"
#include "format/result.h"

namespace vorn {

class EmitImage {
 public:
  // Plans the image of the value that `b` has taken in, or fails with the refusal that the
  // encoder would meet first on the same document: "Too many definitions ({count}), max 65535",
  // "Object #{id} has {count} fields (max 65535)", "String exceeds maximum inline length (16 777
  // 215 bytes)", "Array has {count} items (max 65535)", "Image exceeds 4294967295 bytes". `b`
  // must outlive the plan and stay unchanged.
  static Result<EmitImage> plan(const EmitBuilder& b);

  size_t size() const noexcept { return size_; }

  // Writes exactly size() bytes to `out`.
  void write(uint8_t* out) const;

 private:
  explicit EmitImage(const EmitBuilder& b) : b_(&b) {}

  const EmitBuilder* b_;
  size_t size_ = 0;
};

}  // namespace vorn

// Completes the image of an emit call around the builder's payload: the header, the definition
// block, the dictionary and the one entry's header go ahead of it. The checks are the encoder's,
// with its messages. Free of Python.
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
  // The bytes ahead of the payload: the header, the definition and dict blocks, and the data
  // block up to the payload.
  size_t prefix_size() const noexcept { return size_ - b_->payload().size(); }

  // Writes the prefix_size() bytes ahead of the payload to `out`.
  void write_prefix(uint8_t* out) const;

 private:
  explicit EmitImage(const EmitBuilder& b) : b_(&b) {}

  const EmitBuilder* b_;
  size_t size_ = 0;
};

}  // namespace vorn

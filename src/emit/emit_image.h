// Completes the image of an emit call around the builder's payload: the header, the definition
// block, the dictionary and the one entry's header go ahead of it, planned and written by the
// writer that the encoder uses too (image_writer.h), with its checks and messages. Free of
// Python.
#pragma once

#include <cstddef>
#include <cstdint>

#include "emit/emit_builder.h"
#include "encode/image_writer.h"
#include "format/result.h"

namespace vorn {

// Plans the image of the value that `b` has taken in, or fails with the first refusal in this
// order: a mixed array ("Array item {index} is {found} but elem_type is {expected}"), the
// encoder's refusals in the encoder's order, then the first fault that loads would meet
// (check_readable). The refusals are those of emit_reference_image on the same value.
Result<ImagePlan> plan_emit_image(const EmitBuilder& b);

// Writes everything of a planned image ahead of the payload at `out`: the header, the blocks and
// the entry's header. Returns where the payload goes, which is the rest of the plan.size bytes of
// the image.
uint8_t* write_emit_prefix(const EmitBuilder& b, const ImagePlan& plan, uint8_t* out) noexcept;

// The whole image in the payload's own storage: the payload is moved up and the rest written
// ahead of it, so that the image is the first (returned) size bytes of b.payload(). Fails as
// plan_emit_image does, leaving the payload as it was.
Result<size_t> finish_image(EmitBuilder& b);

}  // namespace vorn

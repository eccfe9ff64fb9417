// Completes the image of an emit call around the builder's payload: the header, the definition
// block, the dictionary and the one entry's header go ahead of it, planned and written by the
// writer that the encoder uses too (image_writer.h), with its checks and messages. Free of
// Python.
#pragma once

#include <cstddef>

#include "emit/emit_builder.h"
#include "format/result.h"

namespace vorn {

// Turns the payload of the value that `b` has taken in into the whole image, in the payload's
// own storage: the payload is moved up and the rest written ahead of it, so that the image is
// the first (returned) size bytes of b.payload(). Fails, leaving the payload as it was, with the
// first refusal in this order: a mixed array ("Array item {index} is {found} but elem_type is
// {expected}"), the encoder's refusals in the encoder's order, then the first fault that loads
// would meet (check_readable). The refusals are those of emit_reference_image on the same value.
Result<size_t> finish_image(EmitBuilder& b);

}  // namespace vorn

// The reference chain of emit, free of Python: a Value tree as the Python value reader gives it
// becomes a Document by the positional scheme, one definition lookup key and one step at a time,
// and goes through the encoder and check_readable like every writer's output. The fused path
// (EmitBuilder and finish_image) gives the same bytes or the same refusal; the emit fuzzer holds
// them to it.
//
// The scheme: an array's definition is found or made by the key "arr:{placeholder}:{elem}" before
// its items are walked (pre-order ids), an object's by "obj:{placeholder}:{kinds}" after them
// (post-order ids), {placeholder} being the self_def_index the reader left (0), {elem} the element
// TypeTag in decimal and {kinds} the kind characters of the items joined by ","; an object's
// fields are named "f0", "f1", ... with its items' kinds as tags; every array's elem_def_index is
// its own id; every distinct string enters the dict in first-seen order while the payload keeps
// every string inline.
#pragma once

#include "format/byte_buffer.h"
#include "format/format.h"
#include "format/result.h"

namespace vorn {

// The Document of `root`: an Array holds its items, an Object its items as key string, value,
// key string, value, ...; every self_def_index and elem_def_index is 0. An array whose items
// mix Int32 and Float32 (and nothing else) has the element kind Float32 and each Int32 item
// becomes the nearest Float32. Fails with "Array item {index} is {found} but elem_type is
// {expected}" for the first array, in the order arrays end, whose items differ in kind
// otherwise ({expected} being the kind of its first item).
Result<Document> emit_document(const Value& root);

// emit_document, encode_document, then check_readable on the Document: the bytes, or the
// refusal, that emit gives for the value that `root` stands for.
Result<ByteBuffer> emit_reference_image(const Value& root);

}  // namespace vorn

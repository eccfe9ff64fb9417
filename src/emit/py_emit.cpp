// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <cstring>

#include "emit/emit_builder.h"
#include "emit/emit_image.h"
#include "emit/py_reader.h"
#include "module/boundary.h"
#include "module/bytes_storage.h"
#include "module/functions.h"

namespace vorn {

namespace {

// A new bytes object holding the image of a payload that the inline buffer holds: written once,
// in its exact size.
PyObject* small_image(const EmitBuilder& builder, const ImagePlan& plan) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.size));
  if (bytes == nullptr) return nullptr;
  uint8_t* p =
      write_emit_prefix(builder, plan, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)));
  const ByteBuffer& payload = builder.payload();
  if (payload.size() != 0) std::memcpy(p, payload.data(), payload.size());
  return bytes;
}

}  // namespace

// Reads the value into the builder. A small image is then written once into a bytes object of
// its exact size; a large payload grows inside the bytes object that becomes the result, and
// finish_image moves it up and writes the rest of the image ahead of it. The pins outlive the
// builder, whose strings are views into them.
PyObject* emit_impl(PyObject* obj) {
  StrPins pins;
  BytesStorage storage;
  EmitBuilder builder(storage);
  if (!read_py_value(obj, builder, pins)) return nullptr;
  PyObject* bytes;
  if (!storage.in_bytes()) {
    Result<ImagePlan> plan = plan_emit_image(builder);
    if (!plan) return raise_format_error(plan.error());
    bytes = small_image(builder, *plan);
  } else {
    Result<size_t> size = finish_image(builder);
    if (!size) return raise_format_error(size.error());
    bytes = storage.finish(*size);
  }
  if (bytes == nullptr) panic_after_failed_call("failed to create the image bytes");
  return bytes;
}

}  // namespace vorn

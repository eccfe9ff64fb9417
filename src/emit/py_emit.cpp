#include "emit/emit_builder.h"
#include "emit/emit_image.h"
#include "emit/py_reader.h"
#include "module/boundary.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace vorn {

// Reads the value into the builder, then writes the image straight into the bytes object it
// returns. The pins outlive the builder, whose strings are views into them.
PyObject* emit_impl(PyObject* obj) {
  StrPins pins;
  EmitBuilder builder;
  if (!read_py_value(obj, builder, pins)) return nullptr;
  if (builder.mismatch()) return raise_format_error(*builder.mismatch());
  Result<EmitImage> image = EmitImage::plan(builder);
  if (!image) return raise_format_error(image.error());

  PyRef bytes =
      PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(image->size())));
  if (!bytes) panic_after_failed_call("failed to create the image bytes");
  image->write(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())));
  return bytes.release();
}

}  // namespace vorn

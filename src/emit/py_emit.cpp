#include "emit/emit_builder.h"
#include "emit/emit_image.h"
#include "emit/emit_tree.h"
#include "emit/py_reader.h"
#include "module/boundary.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace vorn {

// Reads the value, builds the definitions and the dictionary, and writes the image straight into
// the bytes object it returns. The pins outlive the builder, whose strings are views into them.
PyObject* emit_impl(PyObject* obj) {
  StrPins pins;
  EmitBuilder builder;
  EmitTree tree;
  if (!read_py_value(obj, tree, builder.dictionary, pins)) return nullptr;

  if (Status s = intern_value(builder, tree, 0); !s) return raise_format_error(s.error());
  Result<EmitImage> image = EmitImage::plan(builder, tree);
  if (!image) return raise_format_error(image.error());

  PyRef bytes =
      PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(image->size())));
  if (!bytes) panic_after_failed_call("failed to create the image bytes");
  image->write(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())));
  return bytes.release();
}

}  // namespace vorn

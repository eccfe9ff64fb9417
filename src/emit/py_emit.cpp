// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <new>

#include "emit/emit_builder.h"
#include "emit/emit_image.h"
#include "emit/py_reader.h"
#include "module/boundary.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace vorn {

namespace {

// Image storage in a bytes object, grown in place, which becomes the result.
class BytesProvider final : public BufferProvider {
 public:
  uint8_t* grow(size_t, size_t need, size_t& capacity) override {
    if (need > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    resize(static_cast<Py_ssize_t>(need));
    if (!bytes_) throw std::bad_alloc();
    capacity = need;
    return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes_.get()));
  }

  // Cuts the bytes to `size` and hands them over; nullptr with an exception set on failure.
  PyObject* finish(size_t size) {
    resize(static_cast<Py_ssize_t>(size));
    return bytes_.release();
  }

 private:
  // Keeps the contents up to the smaller size; on failure, leaves no object and an exception.
  void resize(Py_ssize_t n) {
    if (!bytes_) {
      bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, n));
      return;
    }
    if (PyBytes_GET_SIZE(bytes_.get()) == n) return;
    PyObject* b = bytes_.release();
    if (_PyBytes_Resize(&b, n) == 0) bytes_ = PyRef::steal(b);  // on failure b is released
  }

  PyRef bytes_;
};

}  // namespace

// Reads the value into the builder, whose payload grows inside the bytes object that becomes the
// result; finish_image then moves the payload up and writes the rest of the image ahead of it.
// The pins outlive the builder, whose strings are views into them.
PyObject* emit_impl(PyObject* obj) {
  StrPins pins;
  BytesProvider storage;
  EmitBuilder builder(storage);
  if (!read_py_value(obj, builder, pins)) return nullptr;
  Result<size_t> size = finish_image(builder);
  if (!size) return raise_format_error(size.error());
  PyObject* bytes = storage.finish(*size);
  if (bytes == nullptr) panic_after_failed_call("failed to create the image bytes");
  return bytes;
}

}  // namespace vorn

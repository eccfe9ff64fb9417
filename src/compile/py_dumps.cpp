// The bodies of dumps and dump.

// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <cstring>
#include <new>
#include <string_view>
#include <variant>

#include "compile/compile_image.h"
#include "io/file_io.h"
#include "module/boundary.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace vorn {

namespace {

// Storage for the payload of the image that dumps returns: a small payload grows in a buffer
// inside the provider and is copied once into a bytes object of the image's exact size; a
// larger one grows inside a bytes object, which becomes the result.
class BytesStorage final : public BufferProvider {
 public:
  uint8_t* grow(size_t keep, size_t need, size_t& capacity) override {
    if (!bytes_ && need <= INLINE_BYTES) {
      capacity = INLINE_BYTES;
      return inline_;
    }
    if (need > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    const bool was_inline = !bytes_;
    resize(static_cast<Py_ssize_t>(need));
    if (!bytes_) throw std::bad_alloc();
    auto* storage = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes_.get()));
    if (was_inline && keep != 0) std::memcpy(storage, inline_, keep);
    capacity = need;
    return storage;
  }

  // The first `size` bytes as a bytes object, handed over; nullptr with an exception set on
  // failure.
  PyObject* finish(size_t size) {
    if (!bytes_) {
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(inline_),
                                       static_cast<Py_ssize_t>(size));
    }
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

  static constexpr size_t INLINE_BYTES = 1024;
  PyRef bytes_;
  uint8_t inline_[INLINE_BYTES];
};

}  // namespace

// The fused compiler gives the bytes of reference_image(text), or its refusal, which includes
// every image loads would refuse. Its payload grows inside the bytes object that becomes the
// result (a small one in the storage's inline buffer, copied once into a bytes object of the
// image's exact size), and the compiler writes the rest of the image ahead of it there.
PyObject* dumps_impl(std::string_view json_text) {
  BytesStorage storage;
  CompileResult<ImageParts> parts = compile_image_parts(json_text, {}, &storage);
  if (!parts) return raise_format_error(parts.error().error);
  const ByteBuffer image = join_image(std::move(*parts));
  PyObject* bytes = storage.finish(image.size());
  if (bytes == nullptr) panic_after_failed_call("failed to create the image bytes");
  return bytes;
}

PyObject* dump_impl(std::string_view json_text, std::string_view path) {
  Result<ByteBuffer> image = compile_image(json_text);
  if (!image) return raise_format_error(image.error());
  // The file is touched only now that the whole image exists.
  PythonIoHooks hooks;
  auto written = write_image_file(path, image->view(), hooks);
  if (auto* err = std::get_if<IoError>(&written)) return raise_io_error(*err);
  Py_RETURN_NONE;
}

}  // namespace vorn

// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <cstring>
#include <new>

#include "emit/emit_builder.h"
#include "emit/emit_image.h"
#include "emit/py_reader.h"
#include "module/boundary.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace vorn {

namespace {

// Payload storage: a buffer inside the provider while the payload is small; then a bytes object
// that grows with it and becomes the result, the rest of the image written ahead of the payload
// in its own storage.
class PayloadStorage final : public BufferProvider {
 public:
  uint8_t* grow(size_t keep, size_t need, size_t& capacity) override {
    if (!bytes_ && need <= INLINE_BYTES) {
      capacity = INLINE_BYTES;
      return inline_;
    }
    if (need > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    const bool was_inline = !bytes_;
    // Four times the room at each step while the payload is below a megabyte: each step may
    // copy it, and a document of a few kilobytes then moves twice rather than four times.
    if (need < GROW_FASTER_BELOW) need *= 2;
    resize(static_cast<Py_ssize_t>(need));
    if (!bytes_) throw std::bad_alloc();
    uint8_t* storage = data();
    if (was_inline && keep != 0) std::memcpy(storage, inline_, keep);
    capacity = need;
    return storage;
  }

  // Whether the payload has outgrown the inline buffer.
  bool in_bytes() const noexcept { return static_cast<bool>(bytes_); }

  // The bytes object, cut to `size` and handed over; nullptr with an exception set on failure.
  PyObject* finish(size_t size) {
    resize(static_cast<Py_ssize_t>(size));
    return bytes_.release();
  }

 private:
  uint8_t* data() noexcept { return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes_.get())); }
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
  static constexpr size_t GROW_FASTER_BELOW = size_t{1} << 20;
  PyRef bytes_;
  uint8_t inline_[INLINE_BYTES];
};

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
  PayloadStorage storage;
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

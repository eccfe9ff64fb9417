// Storage for an image that becomes a bytes object: the buffer that dumps and emit write their
// payload into. A small payload grows in a buffer inside the storage, to be copied once into a
// bytes object of the image's exact size; a larger one grows inside a bytes object, which is cut
// to size at the end and becomes the result without a copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "format/byte_buffer.h"
#include "module/py_ref.h"

namespace vorn {

class BytesStorage final : public BufferProvider {
 public:
  uint8_t* grow(size_t keep, size_t need, size_t& capacity) override {
    if (!bytes_ && need <= INLINE_BYTES) {
      capacity = INLINE_BYTES;
      return inline_;
    }
    if (need > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    const bool was_inline = !bytes_;
    // Eight times the room at each step while the payload is below a megabyte (the buffer
    // doubles what it asks for, this four times more): each step may copy the payload, and a
    // payload of 500 KB then moves 73 KB in three steps rather than 341 KB in five. The room
    // never used is given back when the bytes are cut to size.
    if (need < GROW_FASTER_BELOW) need *= 4;
    resize(static_cast<Py_ssize_t>(need));
    if (!bytes_) throw std::bad_alloc();
    uint8_t* storage = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes_.get()));
    if (was_inline && keep != 0) std::memcpy(storage, inline_, keep);
    capacity = need;
    return storage;
  }

  // Whether the payload has outgrown the inline buffer.
  bool in_bytes() const noexcept { return static_cast<bool>(bytes_); }

  // The first `size` bytes as a bytes object, handed over: the inline buffer's copied into a
  // new one, or the grown bytes object cut to size. nullptr with an exception set on failure.
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
  static constexpr size_t GROW_FASTER_BELOW = size_t{1} << 20;
  PyRef bytes_;
  uint8_t inline_[INLINE_BYTES];
};

}  // namespace vorn

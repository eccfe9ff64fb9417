// Owning wrapper for Python references. A raw PyObject* is always borrowed; a PyRef owns one
// reference and releases it when it goes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorn {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(o.release()) {}
  PyRef& operator=(PyRef&& o) noexcept {
    reset(o.release());
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Gives up ownership; only into a stealing call or the final return.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset(PyObject* o = nullptr) noexcept { Py_XDECREF(std::exchange(p_, o)); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

}  // namespace vorn

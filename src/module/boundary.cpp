// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <new>
#include <type_traits>
#include <variant>

#include "module/boundary.h"

namespace vorn {

namespace {

// Created when first needed and kept for the life of the process, so that every raise uses the
// same class.
PyObject* panic_type = nullptr;

}  // namespace

[[noreturn]] void panic_after_failed_call(const char* what) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  throw Panic(what);
}

PyObject* raise_format_error(const FormatError& error) {
  PyErr_Format(PyExc_ValueError, "Failed to parse VORN: %s", error.message.c_str());
  return nullptr;
}

PyObject* raise_io_error(const IoError& error) {
  if (error.kind == IoError::Kind::OutOfMemory) return PyErr_NoMemory();
  if (error.kind == IoError::Kind::Interrupted) return nullptr;  // the handler's exception
  PyErr_Format(PyExc_ValueError, "IO error: %s", error.message().c_str());
  return nullptr;
}

PyObject* raise_convert_error(const ConvertError& error) {
  return std::visit(
      [](const auto& e) -> PyObject* {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, FormatError>) {
          return raise_format_error(e);
        } else {
          return raise_io_error(e);
        }
      },
      error);
}

PyObject* raise_panic(const char* message) noexcept {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "vorn.PanicException",
        "An unrecoverable fault inside a vorn call. Derives from BaseException, so that ordinary "
        "handlers let it pass.",
        PyExc_BaseException, nullptr);
    if (panic_type == nullptr) return nullptr;
  }
  PyErr_SetString(panic_type, message);
  return nullptr;
}

}  // namespace vorn

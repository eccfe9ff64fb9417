// The module boundary: where internal errors become Python exceptions, and where every C++
// exception of a call is caught before it could reach the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "io/io_error.h"
#include "module/py_ref.h"

namespace vorn {

// An unrecoverable fault inside a call. Thrown only; caught once by run_guarded and raised as
// PanicException.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Ends the call after an interpreter call failed to create an object: the pending exception, if
// any, goes to the unraisable-exception hook, then Panic is thrown with `what`.
[[noreturn]] void panic_after_failed_call(const char* what);

// Raises a ConvertError as ValueError ("Failed to parse VORN: ..." or "IO error: ...") and
// returns nullptr.
PyObject* raise_convert_error(const ConvertError& error);
PyObject* raise_format_error(const FormatError& error);
PyObject* raise_io_error(const IoError& error);

// Raises PanicException(message), creating the type when first needed; returns nullptr.
PyObject* raise_panic(const char* message) noexcept;

// Runs a function body so that no C++ exception leaves it: a failed allocation becomes
// MemoryError, a Panic or any other fault PanicException with its message.
template <class F>
PyObject* run_guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("unknown fault");
  }
}

}  // namespace vorn

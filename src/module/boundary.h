// The module boundary: where internal errors become Python exceptions, and where every C++
// exception of a call is caught before it could reach the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "io/file_io.h"
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

// Ends the call after an interpreter call failed to create an object. When the interpreter ran
// out of memory the call ends with MemoryError (std::bad_alloc is thrown); otherwise the pending
// exception, if any, goes to the unraisable-exception hook and Panic is thrown with `what`.
[[noreturn]] void panic_after_failed_call(const char* what);

// Raises a ConvertError as ValueError ("Failed to parse VORN: ..." or "IO error: ...") and
// returns nullptr. An IoError for want of memory is MemoryError; one for a signal whose handler
// raised leaves that exception as it is.
PyObject* raise_convert_error(const ConvertError& error);
PyObject* raise_format_error(const FormatError& error);
PyObject* raise_io_error(const IoError& error);

// Raises PanicException(message), creating the type when first needed; returns nullptr.
PyObject* raise_panic(const char* message) noexcept;

// The file operations as a call of the module makes them: the interpreter lock is released
// around every call that may block, so that other threads run meanwhile (a FIFO's writer among
// them), and a signal that interrupts such a call is handled at once: when its handler raises
// (KeyboardInterrupt), the operation ends with that exception.
class PythonIoHooks final : public IoHooks {
 public:
  void before_blocking() noexcept override { state_ = PyEval_SaveThread(); }
  void after_blocking() noexcept override { PyEval_RestoreThread(state_); }
  bool may_proceed() noexcept override { return PyErr_CheckSignals() == 0; }

 private:
  PyThreadState* state_ = nullptr;
};

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

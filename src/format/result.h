// Errors as values: every core stage returns a Result, and only the module boundary turns a
// FormatError into a Python exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vorn {

// The error value of the JSON reader, the encoder, the decoder and the decompiler: one message.
struct FormatError {
  std::string message;
};

// A T or a FormatError. Test with `if (!r) return r.error();`, then read `*r`.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T v) : v_(std::move(v)) {}
  Result(FormatError e) : v_(std::move(e)) {}
  explicit operator bool() const noexcept { return v_.index() == 0; }
  T& operator*() { return std::get<0>(v_); }
  const T& operator*() const { return std::get<0>(v_); }
  T* operator->() { return &std::get<0>(v_); }
  FormatError& error() { return std::get<1>(v_); }
  const FormatError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, FormatError> v_;
};

// Success without a value, or a FormatError.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(FormatError e) : error_(std::move(e.message)), failed_(true) {}
  explicit operator bool() const noexcept { return !failed_; }
  FormatError error() const { return FormatError{error_}; }

 private:
  std::string error_;
  bool failed_ = false;
};

}  // namespace vorn

// Errors as values: every core stage returns a Result, and only the module boundary (or the
// command's report) turns its error into a Python exception or a message.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorn {

// The error value of the JSON reader, the encoder, the decoder and the decompiler: one message.
struct FormatError {
  std::string message;
};

// A T or an E (FormatError unless said otherwise: the compile chains have CompileError, the file
// operations IoError). Test with `if (!r) return r.error();`, then read `*r`. The value and the
// error are moved in and out, never copied by the Result itself: a Result of a ByteBuffer holds
// the one buffer.
template <class T, class E = FormatError>
class [[nodiscard]] Result {
 public:
  Result(T v) : v_(std::in_place_index<0>, std::move(v)) {}
  Result(E e) : v_(std::in_place_index<1>, std::move(e)) {}
  // An error that E is made from, such as an IoError where E is a variant of several errors.
  template <class U>
  requires(!std::is_same_v<std::remove_cvref_t<U>, E> && !std::is_convertible_v<U, T> &&
           std::is_convertible_v<U, E>) Result(U&& e)
      : v_(std::in_place_index<1>, std::forward<U>(e)) {}

  explicit operator bool() const noexcept { return v_.index() == 0; }
  T& operator*() { return std::get<0>(v_); }
  const T& operator*() const { return std::get<0>(v_); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  // Only after the test says that the Result holds an error.
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  // From a Result about to go (a call's own return value): the error moved out, so that no
  // reference into the temporary outlives it.
  E error() && { return std::move(std::get<1>(v_)); }

 private:
  std::variant<T, E> v_;
};

// Success without a value, or an E: what a check or an operation without a result returns.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E e) : error_(std::move(e)) {}
  template <class U>
  requires(!std::is_same_v<std::remove_cvref_t<U>, E> && std::is_convertible_v<U, E>) Result(U&& e)
      : error_(std::in_place, std::forward<U>(e)) {}

  explicit operator bool() const noexcept { return !error_.has_value(); }
  E& error() & { return error_.value(); }
  const E& error() const& { return error_.value(); }
  E error() && { return std::move(error_.value()); }

 private:
  std::optional<E> error_;
};

// Success, or a FormatError: the checks of the core.
using Status = Result<void>;

}  // namespace vorn

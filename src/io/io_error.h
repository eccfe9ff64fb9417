// What a conversion step hands back to a function body: a FormatError of the core, or an IoError
// of the file operations. Free of Python.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "format/result.h"

namespace vorn {

// A failed file operation.
struct IoError {
  enum class Kind : uint8_t {
    System,       // the operating system's description and error number
    Fixed,        // a fault the file operations detect themselves, with a fixed text
    OutOfMemory,  // a buffer could not be allocated
    Interrupted,  // a signal arrived and the caller chose to end the operation
  };

  std::string description;
  int code = 0;
  Kind kind = Kind::System;

  static IoError system(int code);
  static IoError fixed(std::string text) { return IoError{std::move(text), 0, Kind::Fixed}; }
  static IoError out_of_memory() { return IoError{"out of memory", 0, Kind::OutOfMemory}; }
  static IoError interrupted() { return IoError{"interrupted", 0, Kind::Interrupted}; }

  // The text after "IO error: ": "{description} (os error {code})" for a system error.
  std::string message() const {
    if (kind != Kind::System) return description;
    return description + " (os error " + std::to_string(code) + ")";
  }
};

using ConvertError = std::variant<FormatError, IoError>;

}  // namespace vorn

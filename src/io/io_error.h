// What a conversion step hands back to a function body: a FormatError of the core, or an IoError
// of the file operations. Free of Python.
#pragma once

#include <string>
#include <variant>

#include "format/result.h"

namespace vorn {

// An operating-system error: its description and number, or a fixed text and code 0 for the
// faults the module detects itself ("failed to write whole buffer", "out of memory", NUL in a
// path).
struct IoError {
  std::string description;
  int code = 0;

  // The text after "IO error: ".
  std::string message() const {
    return code == 0 ? description : description + " (os error " + std::to_string(code) + ")";
  }
};

using ConvertError = std::variant<FormatError, IoError>;

}  // namespace vorn

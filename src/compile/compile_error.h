// What the compile chains return on failure: the message, the step that refused, for JSON Lines
// the line, and whether it is the exactness refusal; and the options that both chains take. Free
// of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "format/json_value.h"
#include "format/result.h"

namespace vorn {

// The step of the chain that refused a text. The refusals come in this order: the first fault
// of one step ends the compile before the next step looks.
enum class RefusingStep : uint8_t {
  // Not JSON: the reader's message, ending " at line L column C".
  JsonReader,
  // The compiler: an array whose items cannot share one element kind ("Array item {index} is
  // {found} but elem_type is {expected}"); a JSON Lines text of too many lines; under
  // CompileOptions::exact, a value that would not read back the same (tested last of all, on an
  // image that every other step accepted; CompileError::inexact tells it from the others).
  Compiler,
  // The encoder: a limit of the format (too many definitions, a field name or a string too long,
  // an array of too many items, an image of 4 GiB or more).
  Encoder,
  // loads would refuse the image: what the decoder and the decompiler refuse (more than 2048
  // definitions, an object definition of more than 256 fields, a float beyond the float32
  // range).
  Reader,
};

// The exactness refusal of one value (see inexact_value), a type of its own so that the
// CompileError made from it says that it is one.
struct InexactValue {
  FormatError error;
};

struct CompileError {
  CompileError() = default;
  CompileError(FormatError e, RefusingStep refusing, size_t at_line)
      : error(std::move(e)), step(refusing), line(at_line) {}
  CompileError(InexactValue e, RefusingStep refusing, size_t at_line)
      : error(std::move(e.error)), step(refusing), line(at_line), inexact(true) {}

  FormatError error;
  RefusingStep step = RefusingStep::Compiler;
  // JSON Lines: the 1-based line of the text that failed; 0 when the fault is not one line's
  // (too many lines, definitions or fields, a dict string, the image's size, the reader's
  // refusals). Always 0 for a single JSON text.
  size_t line = 0;
  // The exactness refusal of CompileOptions::exact (step Compiler): every other step accepted
  // the text, and the value the message names would read back changed.
  bool inexact = false;
};

struct CompileOptions {
  // Refuses a text whose image would not read back to the same JSON value (type and value; key
  // order aside) with "{path}: {original} would read back as {narrowed}", naming the first
  // changed value in the order the image holds them (members in key order).
  bool exact = false;
};

// The exactness refusal: "{path}: {original} would read back as {narrowed}", the original
// number exact, the narrowed one as loads gives it (see narrowed_number).
InexactValue inexact_value(std::string_view path, const JsonValue& original, bool in_mixed_array);

// "JSON Lines text has {count} lines (max 1048576)": more lines hold values than an image holds
// entries.
FormatError too_many_lines(size_t count);

}  // namespace vorn

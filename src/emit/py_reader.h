// The Python value reader of emit: walks a Python object graph and hands it to the emit builder.
#pragma once

#include "emit/emit_builder.h"
#include "format/small_vector.h"
#include "module/py_ref.h"

namespace vorn {

// The str objects whose UTF-8 bytes an emit dictionary views. Until the reader first calls code
// that may run Python code, nothing it has read can be freed (the containers hold it), so the
// strs are only listed; from then on each is held by one reference, all released when this goes.
// Python code run by the reader may drop every other reference to a str it has already read; the
// dictionary's views stay valid all the same.
class StrPins {
 public:
  StrPins() = default;
  StrPins(const StrPins&) = delete;
  StrPins& operator=(const StrPins&) = delete;
  ~StrPins() {
    if (!holding_) return;
    for (PyObject* s : listed_) Py_DECREF(s);
  }

  // Lists `s`, and adds a reference to it once the strs are held.
  void add(PyObject* s) {
    listed_.push_back(s);
    if (holding_) Py_INCREF(s);
  }
  // Holds every str listed so far and every one listed later; called before any call that may
  // run Python code.
  void hold() {
    if (holding_) return;
    holding_ = true;
    for (PyObject* s : listed_) Py_INCREF(s);
  }

 private:
  SmallVector<PyObject*, 32> listed_;
  bool holding_ = false;
};

// Reads `obj` (borrowed) into `builder`, item by item in reading order (depth first, items in
// order); every str whose bytes the builder's dictionary views is held in `pins`.
// Returns false with a Python exception set: TypeError "Unsupported Python type: {name}" and the
// two dict key TypeErrors, the interpreter's UnicodeEncodeError for a key that cannot be
// encoded, ValueError "Max recursion depth 128 exceeded" for containers nested deeper than 128
// levels (so a container that holds itself ends there), and PanicException "dictionary changed
// size during iteration" or "dictionary keys changed during iteration" when code run by the
// reader changes a dict while it is walked.
bool read_py_value(PyObject* obj, EmitBuilder& builder, StrPins& pins);

}  // namespace vorn

// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <cstdint>
#include <new>

#include "emit/py_reader.h"
#include "module/boundary.h"
#include "module/py_compat.h"

namespace vorn {

namespace {

// The type tests run in a fixed order, the first match deciding: dict, list, str, exact bool,
// integer (PyLong_AsLongLong), float (PyFloat_AsDouble), numpy-style bool, else unsupported.
// Objects of the exact built-in types are recognised first: for them the order cannot change the
// outcome, and no Python code runs while they are read.
//
// Borrowed references: each function that may run Python code (protocol calls on other types,
// the walk of a container whose items may run it) first takes its own reference to the object
// it reads, and every str whose bytes the dictionary views is held from the first such call on
// (StrPins); other strs are copied into the payload at once and not looked at again. Whatever that
// code does to the containers, nothing the reader still uses can be freed. (Without such code
// nothing can change: the interpreter runs a scheduled garbage collection only between bytecodes.)
// Clears the failure of a conversion so that the next test can run: the conversion failures of
// the type tests are Exceptions. Anything else (KeyboardInterrupt from a signal or from code the
// reader called, SystemExit, other BaseExceptions) and MemoryError must reach the caller as they
// are: false then, with the exception still set.
bool clear_conversion_failure() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

class Reader {
 public:
  Reader(EmitBuilder& builder, StrPins& pins) : builder_(builder), pins_(pins) {}

  // `depth` is the number of containers around `obj`. The containers, integers beyond the
  // small ones and all other types are read out of line, which keeps this dispatch, taken for
  // every value, short.
  bool read(PyObject* obj, uint32_t depth) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
      if (push_str(obj)) return true;
      if (!clear_conversion_failure()) return false;
      return unsupported(obj);  // lone surrogates: no later test accepts a str
    }
    if (type == &PyLong_Type) {
      const auto* v = reinterpret_cast<PyLongObject*>(obj);
      if (!py_compat::long_is_compact(v)) return read_wide_int(obj);
      push_int(py_compat::long_compact_value(v));
      return true;
    }
    if (type == &PyDict_Type) return read_dict(obj, depth);
    if (type == &PyList_Type) return read_list(obj, depth);
    if (type == &PyFloat_Type) {
      push_float(PyFloat_AS_DOUBLE(obj));
      return true;
    }
    if (type == &PyBool_Type) {
      builder_.add_bool(obj == Py_True);
      return true;
    }
    return read_other(obj, depth);
  }

 private:
  // The low 32 bits, as a two's-complement Int32.
  void push_int(long long v) { builder_.add_int32(static_cast<uint32_t>(v)); }
  void push_float(double d) { builder_.add_double(d); }

  // False with the conversion's exception set when the str has no UTF-8 form. The str is pinned
  // when it brings new text to the dictionary.
  [[gnu::always_inline]] bool push_str(PyObject* s) {
    const char* text = nullptr;
    Py_ssize_t n = 0;
    if (PyUnicode_IS_COMPACT_ASCII(s)) {  // its storage is its UTF-8 form
      text = static_cast<const char*>(PyUnicode_DATA(s));
      n = PyUnicode_GET_LENGTH(s);
    } else {
      text = PyUnicode_AsUTF8AndSize(s, &n);
      if (text == nullptr) return false;
    }
    if (builder_.add_string({text, static_cast<size_t>(n)})) pins_.add(s);
    return true;
  }

  // An int of more than one internal digit.
  [[gnu::noinline]] bool read_wide_int(PyObject* obj) {
    const long long i = PyLong_AsLongLong(obj);
    if (i != -1 || !PyErr_Occurred()) {
      push_int(i);
      return true;
    }
    if (!clear_conversion_failure()) return false;  // beyond 64 bits: try the double
    const double d = PyLong_AsDouble(obj);
    if (d != -1.0 || !PyErr_Occurred()) {
      push_float(d);
      return true;
    }
    if (!clear_conversion_failure()) return false;
    return unsupported(obj);
  }

  bool too_deep() {
    PyErr_SetString(PyExc_ValueError, "Max recursion depth 128 exceeded");
    return false;
  }

  [[gnu::noinline]] bool read_list(PyObject* list, uint32_t depth) {
    if (depth >= MAX_DEPTH) return too_deep();
    if (read_number_list(list)) return true;
    const PyRef hold = PyRef::borrow(list);
    const Py_ssize_t start_len = PyList_GET_SIZE(list);
    builder_.begin_array();
    // An item may run code that shrinks the list: the bound is checked before every item.
    for (Py_ssize_t i = 0; i < start_len && i < PyList_GET_SIZE(list); ++i) {
      if (!read(PyList_GET_ITEM(list, i), depth + 1)) return false;
    }
    builder_.end_array();
    return true;
  }

  // Reads a list of exact floats and small exact ints, of one kind or both, in one piece;
  // false, having read nothing, for any other list (the empty one included). No Python code
  // runs while such items are read, so the list cannot change under the loops.
  bool read_number_list(PyObject* list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    bool floats = false;
    bool ints = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyTypeObject* type = Py_TYPE(items[i]);
      if (type == &PyFloat_Type) {
        floats = true;
      } else if (type == &PyLong_Type &&
                 py_compat::long_is_compact(reinterpret_cast<PyLongObject*>(items[i]))) {
        ints = true;
      } else {
        return false;
      }
    }
    if (n == 0) return false;
    const auto count = static_cast<size_t>(n);
    uint8_t* out = builder_.add_number_array(count, floats ? ItemKind::Float32 : ItemKind::Int32);
    if (!ints) {
      for (size_t i = 0; i < count; ++i) {
        out = store_u32(out, builder_.float_bits(PyFloat_AS_DOUBLE(items[i])));
      }
    } else if (!floats) {
      for (size_t i = 0; i < count; ++i) out = store_u32(out, int_bits(items[i]));
    } else {
      for (size_t i = 0; i < count; ++i) {
        out = store_u32(out, Py_TYPE(items[i]) == &PyFloat_Type
                                 ? builder_.float_bits(PyFloat_AS_DOUBLE(items[i]))
                                 : EmitBuilder::int_as_float_bits(int_bits(items[i])));
      }
    }
    return true;
  }
  // The low 32 bits of a compact int.
  static uint32_t int_bits(PyObject* obj) {
    return static_cast<uint32_t>(
        py_compat::long_compact_value(reinterpret_cast<PyLongObject*>(obj)));
  }

  [[gnu::noinline]] bool read_dict(PyObject* dict, uint32_t depth) {
    if (depth >= MAX_DEPTH) return too_deep();
    const PyRef hold = PyRef::borrow(dict);
    const Py_ssize_t start_len = py_compat::dict_size(dict);
    Py_ssize_t remaining = start_len;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    builder_.begin_object();
    for (;;) {
      // The guards run before every step, the last one (which finds the end) included. Their
      // faults are unrecoverable and raised as PanicException here, as the boundary would.
      if (py_compat::dict_size(dict) != start_len) {
        raise_panic("dictionary changed size during iteration");
        return false;
      }
      if (remaining == -1) {
        raise_panic("dictionary keys changed during iteration");
        return false;
      }
      if (!py_compat::dict_next(dict, &pos, &key, &value)) break;
      --remaining;
      // The key's text is copied (and its str pinned if the dictionary views it) before any code
      // can run, and the value takes its own reference when it may run code: nothing is left
      // that the dict's changes could free under the reader.
      if (!PyUnicode_Check(key)) return key_error(key);
      if (!push_str(key)) return false;
      if (!read(value, depth + 1)) return false;
    }
    builder_.end_object();
    return true;
  }

  static bool key_error(PyObject* key) {
    if (key == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
      return false;
    }
    const PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(key)));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", name.get());
    return false;
  }

  static bool unsupported(PyObject* obj) {
    const PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (name) PyErr_Format(PyExc_TypeError, "Unsupported Python type: %U", name.get());
    return false;
  }

  // Subclasses of the built-in types and everything else, through the full order of tests.
  [[gnu::noinline]] bool read_other(PyObject* obj, uint32_t depth) {
    const PyRef hold = PyRef::borrow(obj);
    PyTypeObject* type = Py_TYPE(obj);
    if (PyType_HasFeature(type, Py_TPFLAGS_DICT_SUBCLASS)) return read_dict(obj, depth);
    if (PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS)) return read_list(obj, depth);
    if (PyType_HasFeature(type, Py_TPFLAGS_UNICODE_SUBCLASS)) {
      if (push_str(obj)) return true;
      if (!clear_conversion_failure()) return false;
    }
    if (type == &PyBool_Type) {
      builder_.add_bool(obj == Py_True);
      return true;
    }
    // From here on __index__, __float__ and a metaclass's __module__ may run Python code.
    pins_.hold();
    const long long i = PyLong_AsLongLong(obj);
    if (i != -1 || !PyErr_Occurred()) {
      push_int(i);
      return true;
    }
    if (!clear_conversion_failure()) return false;
    const double d = PyFloat_AsDouble(obj);
    if (d != -1.0 || !PyErr_Occurred()) {
      push_float(d);
      return true;
    }
    if (!clear_conversion_failure()) return false;
    const int truth = numpy_bool(obj);
    if (truth == PROPAGATE) return false;
    if (truth < 0) return unsupported(obj);
    builder_.add_bool(truth == 1);
    return true;
  }

  static constexpr int PROPAGATE = -2;

  // 0 or 1 for an object of a numpy bool type, by the type's truth slot; -1 for anything else,
  // with the conversion failures along the way discarded; PROPAGATE, with the exception set,
  // for one that must reach the caller.
  static int numpy_bool(PyObject* obj) {
    const PyRef type_ref = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    auto* type = reinterpret_cast<PyTypeObject*>(type_ref.get());
    const PyRef module = PyRef::steal(PyObject_GetAttrString(type_ref.get(), "__module__"));
    if (!module) return clear_conversion_failure() ? -1 : PROPAGATE;
    if (!PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
      return -1;
    }
    const PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) return clear_conversion_failure() ? -1 : PROPAGATE;
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
      return -1;
    }
    if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) return -1;
    const int truth = type->tp_as_number->nb_bool(obj);
    if (truth == 0 || truth == 1) return truth;
    if (truth < 0 && PyErr_Occurred()) return clear_conversion_failure() ? -1 : PROPAGATE;
    return -1;
  }

  EmitBuilder& builder_;
  StrPins& pins_;
};

}  // namespace

bool read_py_value(PyObject* obj, EmitBuilder& builder, StrPins& pins) {
  return Reader(builder, pins).read(obj, 0);
}

}  // namespace vorn

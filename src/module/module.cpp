// The extension module `vorn`: its definition, its execution step, and the binding and
// conversion of the arguments of its five functions.

// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "module/boundary.h"
#include "module/functions.h"
#include "module/py_compat.h"
#include "module/py_ref.h"

namespace vorn {

namespace {

// The module's thread-local storage (the C++ runtime's per-thread exception state, linked into
// the module) must never be allocated lazily: the loader allocates a dlopen'ed module's dynamic
// thread-local block with malloc on a thread's first use, which is the first exception thrown on
// that thread, and aborts the whole process when that allocation fails, exactly when an
// allocation failure is being reported. One initial-exec variable marks the module as needing
// static thread-local storage, which the loader sets aside for every thread when it loads the
// module and when it starts a thread.
[[gnu::tls_model("initial-exec")]] thread_local unsigned char static_tls_anchor = 0;

// Parameter names of one function, in order; every parameter is positional-or-keyword and
// required.
struct Signature {
  const char* name;
  const char* params[2];
  Py_ssize_t count;
};

constexpr Signature DUMPS{"dumps", {"json_text", nullptr}, 1};
constexpr Signature DUMP{"dump", {"json_text", "path"}, 2};
constexpr Signature LOADS{"loads", {"bytes", nullptr}, 1};
constexpr Signature LOAD{"load", {"path", nullptr}, 1};
constexpr Signature EMIT{"emit", {"obj", nullptr}, 1};

// The general case of bind: keywords, or too few or too many arguments.
[[gnu::noinline]] bool bind_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, PyObject** out) {
  if (nargs > sig.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                 sig.name, sig.count, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                   sig.params[slot]);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  std::string missing;
  Py_ssize_t n_missing = 0;
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (out[i] == nullptr) ++n_missing;
  }
  if (n_missing == 0) return true;
  Py_ssize_t listed = 0;
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) missing += listed + 1 == n_missing ? " and " : ", ";
    missing += std::string("'") + sig.params[i] + "'";
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", sig.name,
               n_missing, n_missing == 1 ? "" : "s", missing.c_str());
  return false;
}

// Fills `out` (sig.count slots, borrowed references) from a fast call with keywords, or raises
// the TypeError that CPython's own binder would. A call with every argument given by position,
// the usual one, costs a comparison.
inline bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
  if (kwnames == nullptr && nargs == sig.count) [[likely]] {
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = args[i];
    return true;
  }
  return bind_slow(sig, args, nargs, kwnames, out);
}

// Adds the note "while processing '{param}'" to the pending exception.
void note_parameter(const char* param) {
  PyObject* exc = py_compat::take_raised_exception();
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", param));
  if (note) {
    PyRef r = PyRef::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    if (!r) PyErr_Clear();  // the conversion error matters more than a missing note
  } else {
    PyErr_Clear();
  }
  py_compat::set_raised_exception(exc);
}

void raise_not_instance(PyObject* arg, const char* target) {
  if (arg == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(arg)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
}

// A str (or subclass) argument as its cached UTF-8 text.
bool convert_str(PyObject* arg, const char* param, std::string_view* out) {
  if (!PyUnicode_Check(arg)) {
    raise_not_instance(arg, "str");
    note_parameter(param);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
  if (utf8 == nullptr) {
    note_parameter(param);
    return false;
  }
  *out = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

// A bytes (or subclass) argument as a view of its storage.
bool convert_bytes(PyObject* arg, const char* param, std::span<const uint8_t>* out) {
  if (!PyBytes_Check(arg)) {
    raise_not_instance(arg, "bytes");
    note_parameter(param);
    return false;
  }
  *out = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(arg)),
                                  static_cast<size_t>(PyBytes_GET_SIZE(arg)));
  return true;
}

PyObject* py_dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&]() -> PyObject* {
    PyObject* a[1];
    std::string_view text;
    if (!bind(DUMPS, args, nargs, kwnames, a) || !convert_str(a[0], "json_text", &text)) {
      return nullptr;
    }
    return dumps_impl(text);
  });
}

PyObject* py_dump(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&]() -> PyObject* {
    PyObject* a[2];
    std::string_view text, path;
    if (!bind(DUMP, args, nargs, kwnames, a) || !convert_str(a[0], "json_text", &text) ||
        !convert_str(a[1], "path", &path)) {
      return nullptr;
    }
    return dump_impl(text, path);
  });
}

PyObject* py_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&]() -> PyObject* {
    PyObject* a[1];
    std::span<const uint8_t> image;
    if (!bind(LOADS, args, nargs, kwnames, a) || !convert_bytes(a[0], "bytes", &image)) {
      return nullptr;
    }
    return loads_impl(image);
  });
}

PyObject* py_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&]() -> PyObject* {
    PyObject* a[1];
    std::string_view path;
    if (!bind(LOAD, args, nargs, kwnames, a) || !convert_str(a[0], "path", &path)) {
      return nullptr;
    }
    return load_impl(path);
  });
}

PyObject* py_emit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind(EMIT, args, nargs, kwnames, a)) return nullptr;
    return emit_impl(a[0]);
  });
}

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

// Registered in this order; the table lives as long as the process, as the function objects
// that point into it may.
PyMethodDef functions[] = {
    {"dumps", as_cfunction(&py_dumps), FASTCALL,
     "dumps(json_text)\n--\n\nCompile a JSON string to VORN binary bytes."},
    {"loads", as_cfunction(&py_loads), FASTCALL,
     "loads(bytes)\n--\n\nDecompile VORN binary bytes to a Python object."},
    {"dump", as_cfunction(&py_dump), FASTCALL,
     "dump(json_text, path)\n--\n\nCompile JSON string and write VORN binary to a file."},
    {"load", as_cfunction(&py_load), FASTCALL,
     "load(path)\n--\n\nRead a VORN file and decompile to a Python object."},
    {"emit", as_cfunction(&py_emit), FASTCALL,
     "emit(obj)\n--\n\nEmit a Python value as VORN binary (no JSON string)."},
};

// Appends `name` to the module's __all__, creating the list when the module has none yet.
int append_to_all(PyObject* module, PyObject* name) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  return PyList_Append(all.get(), name);
}

int module_exec(PyObject* module) {
  // A volatile store, so that the access (and with it the mark) cannot be optimised away.
  *static_cast<volatile unsigned char*>(&static_tls_anchor) = 1;
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "vorn can only be executed on a module object");
    return -1;
  }
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& def : functions) {
    PyRef fn = PyRef::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!fn) return -1;
    PyRef name = PyRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name || append_to_all(module, name.get()) < 0) return -1;
    if (PyObject_SetAttr(module, name.get(), fn.get()) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vorn", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vorn

PyMODINIT_FUNC PyInit_vorn(void) { return PyModuleDef_Init(&vorn::module_def); }

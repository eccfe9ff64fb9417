// The interpreter calls whose form differs between the CPython versions the module builds for,
// or that depend on the layout of the interpreter's objects: each picks, for the version at
// hand, the fastest call that is sound there. Nothing else in the module uses private or
// unstable parts of the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>

namespace vorn::py_compat {

// A new empty dict with room for `n` keys, so that inserting them never grows its table; nullptr
// with an exception set on failure. Declared by the interpreter's headers in 3.12 and 3.13.
inline PyObject* dict_with_room(Py_ssize_t n) { return _PyDict_NewPresized(n); }

// Inserts `key`, an exact str whose hash `hash` is already cached in it, with `value` (neither
// reference is stolen). Returns 0, or -1 with an exception set.
inline int dict_set_str(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash) {
#if PY_VERSION_HEX >= 0x030D0000
  // 3.13 no longer declares the known-hash insert. PyDict_SetItem takes the hash an exact str
  // caches instead of computing it: a few instructions more per insert, and sound.
  (void)hash;
  return PyDict_SetItem(dict, key, value);
#else
  return _PyDict_SetItem_KnownHash(dict, key, value, hash);
#endif
}

// A new empty list with room for `n` items, which append_to_room then stores; nullptr with an
// exception set on failure. The item array is allocated without the zeroing that PyList_New(n)
// does, as every slot is written before it is read. The list counts only the items stored so
// far, so releasing it half filled is sound. A free-threaded interpreter keeps its item arrays in
// a form of its own: there PyList_New(n) allocates them.
inline PyObject* list_with_room(size_t n) {
#ifdef Py_GIL_DISABLED
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list != nullptr) Py_SET_SIZE(list, 0);
  return list;
#else
  PyObject* list = PyList_New(0);
  if (list == nullptr || n == 0) return list;
  auto** storage = static_cast<PyObject**>(PyMem_Malloc(n * sizeof(PyObject*)));
  if (storage == nullptr) {
    Py_DECREF(list);
    return PyErr_NoMemory();
  }
  auto* l = reinterpret_cast<PyListObject*>(list);
  l->ob_item = storage;
  l->allocated = static_cast<Py_ssize_t>(n);
  return list;
#endif
}

// Stores `item`, a new reference that the list takes over, after the items already in a list
// from list_with_room, which has room for it.
inline void append_to_room(PyObject* list, PyObject* item) {
  const Py_ssize_t n = Py_SIZE(list);
  PyList_SET_ITEM(list, n, item);
  Py_SET_SIZE(list, n + 1);
}

// A new list holding the `n` new references at `items`, which it takes over; nullptr with an
// exception set on failure (the references then stay with the caller).
inline PyObject* list_taking(PyObject* const* items, size_t n) {
  PyObject* list = list_with_room(n);
  if (list == nullptr || n == 0) return list;
  std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, items, n * sizeof(PyObject*));
  Py_SET_SIZE(list, static_cast<Py_ssize_t>(n));
  return list;
}

// A new float holding `d`; nullptr with an exception set on failure. PyFloat_FromDouble first
// looks up the interpreter's free list, which costs a thread-state look-up on every call and is
// empty after the first hundred floats of a large result; this is what it does once that list
// is empty. The float is released through the type's own deallocator, as any other. A
// free-threaded interpreter allocates its objects in a form of its own: there the plain call.
inline PyObject* new_float(double d) {
#ifdef Py_GIL_DISABLED
  return PyFloat_FromDouble(d);
#else
  auto* f = static_cast<PyFloatObject*>(PyObject_Malloc(sizeof(PyFloatObject)));
  if (f == nullptr) return PyErr_NoMemory();
  // PyObject_Init returns the object it is given.
  PyObject* o = reinterpret_cast<PyObject*>(f);
  PyObject_Init(o, &PyFloat_Type);
  f->ob_fval = d;
  return o;
#endif
}

}  // namespace vorn::py_compat

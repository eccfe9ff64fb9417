// The interpreter calls whose form differs between the CPython versions the module builds for,
// or that depend on the layout of the interpreter's objects: each picks, for the version at
// hand, the fastest call that is sound there. Nothing else in the module uses private or
// unstable parts of the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>

// The interpreters whose dict tables (a keys object of a fixed head, its index array, then its
// entries, with values in the entries for every dict but an instance's attribute dict) the fast
// paths below read and fill in place: 3.11 to 3.13 share that layout. A free-threaded interpreter
// guards its dicts in ways of its own.
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define VORN_DICT_TABLES 1
#else
#define VORN_DICT_TABLES 0
#endif

namespace vorn::py_compat {

// The number of entries of `dict`, a dict or a subclass. The 3.11 headers spell
// PyDict_GET_SIZE with a C cast, which the project's warnings refuse.
inline Py_ssize_t dict_size(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_used;
}

// The pending exception, normalized, with its traceback attached, as a new reference that the
// caller hands back to set_raised_exception; nullptr when none is pending. The indicator is
// cleared.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  // 3.11 keeps the type, the value and the traceback apart.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Makes `exc`, an exception from take_raised_exception (or nullptr, which clears the indicator),
// the pending one again; the reference is stolen.
inline void set_raised_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (exc == nullptr) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Whether `v`, an int, is held in at most one internal digit, whose value long_compact_value
// then gives.
inline bool long_is_compact(const PyLongObject* v) {
#if PY_VERSION_HEX >= 0x030C0000
  return PyUnstable_Long_IsCompact(v) != 0;
#else
  // In 3.11 the size counts the digits, signed as the value.
  const Py_ssize_t size = v->ob_base.ob_size;
  return size >= -1 && size <= 1;
#endif
}

inline Py_ssize_t long_compact_value(const PyLongObject* v) {
#if PY_VERSION_HEX >= 0x030C0000
  return PyUnstable_Long_CompactValue(v);
#else
  return v->ob_base.ob_size * static_cast<Py_ssize_t>(v->ob_digit[0]);
#endif
}

// A new empty dict with room for `n` keys, so that inserting them never grows its table; nullptr
// with an exception set on failure. Declared by the interpreter's headers in 3.11 to 3.13.
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

// The hash of `s`, an exact str, as PyObject_Hash gives it; the str keeps it, as it does after
// PyObject_Hash. Hashing a str cannot fail. In 3.12 the str's hash is the interpreter's hash of
// its storage, worked out here without the two calls that lead to it; the versions whose headers
// no longer declare that hash go through PyObject_Hash.
inline Py_hash_t str_hash(PyObject* s) {
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
  auto* head = reinterpret_cast<PyASCIIObject*>(s);
  if (head->hash != -1) return head->hash;
  head->hash = _Py_HashBytes(PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s) * PyUnicode_KIND(s));
  return head->hash;
#else
  return PyObject_Hash(s);
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

// A new str of the n bytes at s, all below 0x80, n at least 1; nullptr with an exception set on
// failure. PyUnicode_New finds out the string's kind and form from the largest character on
// every call; an ASCII string's are known, and in 3.12 and 3.13 the compact ASCII str is made
// here as PyUnicode_New makes it (one block: the head, the bytes, a terminating NUL), which
// saves the call and its tests. The str is released through the type's own deallocator, as any
// other. Other versions, and a free-threaded interpreter, go through PyUnicode_New.
inline PyObject* new_ascii_str(const char* s, size_t n) {
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX) - sizeof(PyASCIIObject) - 1) return PyErr_NoMemory();
  auto* head = static_cast<PyASCIIObject*>(PyObject_Malloc(sizeof(PyASCIIObject) + n + 1));
  if (head == nullptr) return PyErr_NoMemory();
  // PyObject_Init returns the object it is given.
  PyObject* o = reinterpret_cast<PyObject*>(head);
  PyObject_Init(o, &PyUnicode_Type);
  head->length = static_cast<Py_ssize_t>(n);
  head->hash = -1;
  head->state.interned = 0;
  head->state.kind = PyUnicode_1BYTE_KIND;
  head->state.compact = 1;
  head->state.ascii = 1;
  head->state.statically_allocated = 0;
  char* data = reinterpret_cast<char*>(head + 1);
  std::memcpy(data, s, n);
  data[n] = '\0';
  return o;
#else
  PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (o != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(o), s, n);
  return o;
#endif
}

// The next entry of `dict` (an exact dict or a subclass) from position *pos on, exactly as
// PyDict_Next gives it: 1 with borrowed references in *key and *value and *pos advanced, or 0 at
// the end. For the combined tables of 3.11 to 3.13 (every dict but an instance's attribute
// dict) the entry is read straight from the table, as PyDict_Next reads it, without the call;
// the table is looked up afresh on every step, as PyDict_Next does, so that a dict changed by
// code run between two steps is read as safely as it would be by PyDict_Next. Other tables, and
// other versions, go through PyDict_Next.
#if VORN_DICT_TABLES
namespace dict_layout {

// The head of the interpreter's dict keys table in these versions, up to its index array, which
// the entries follow.
struct KeysHead {
  Py_ssize_t refcnt;
  uint8_t log2_size;
  uint8_t log2_index_bytes;
  uint8_t kind;  // 0: general entries, 1: str keys only, 2: split
  uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
};
static_assert(sizeof(KeysHead) == 32 && offsetof(KeysHead, nentries) == 24);
constexpr uint8_t KEYS_GENERAL = 0;
constexpr uint8_t KEYS_UNICODE = 1;

struct GeneralEntry {
  Py_hash_t hash;
  PyObject* key;
  PyObject* value;  // null for a deleted entry
};
struct UnicodeEntry {
  PyObject* key;
  PyObject* value;  // null for a deleted entry
};

}  // namespace dict_layout
#endif

inline int dict_next(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) {
#if VORN_DICT_TABLES
  const auto* mp = reinterpret_cast<const PyDictObject*>(dict);
  const auto* keys = reinterpret_cast<const dict_layout::KeysHead*>(mp->ma_keys);
  if (mp->ma_values == nullptr &&
      (keys->kind == dict_layout::KEYS_UNICODE || keys->kind == dict_layout::KEYS_GENERAL)) {
    Py_ssize_t i = *pos;
    const Py_ssize_t n = keys->nentries;
    if (i < 0) return 0;
    const char* entries =
        reinterpret_cast<const char*>(keys + 1) + (size_t{1} << keys->log2_index_bytes);
    if (keys->kind == dict_layout::KEYS_UNICODE) {
      const auto* e = reinterpret_cast<const dict_layout::UnicodeEntry*>(entries);
      while (i < n && e[i].value == nullptr) ++i;
      if (i >= n) return 0;
      *key = e[i].key;
      *value = e[i].value;
    } else {
      const auto* e = reinterpret_cast<const dict_layout::GeneralEntry*>(entries);
      while (i < n && e[i].value == nullptr) ++i;
      if (i >= n) return 0;
      *key = e[i].key;
      *value = e[i].value;
    }
    *pos = i + 1;
    return 1;
  }
#endif
  return PyDict_Next(dict, pos, key, value);
}

// Whether dict_from_shape can fill a copy of a dict in place on this interpreter.
#if VORN_DICT_TABLES
inline constexpr bool DICT_SHAPES = true;
#else
inline constexpr bool DICT_SHAPES = false;
#endif

// A new dict with the keys of `shape`, in its order, holding values[i] for key i: it takes over
// the n references at `values`. `shape` is a dict of n exact str keys that dict_set_str inserted
// one after the other, never changed since: its table holds its n entries in insertion order.
// PyDict_Copy of such a dict copies its table in one block (keys, cached hashes and index), and
// the copy's values are then replaced in place, where n inserts would each look their key up.
// The copy is tracked by the collector when a value may hold references, as an insert would do.
// Returns nullptr with an exception set when the interpreter cannot allocate the dict, and
// nullptr with no exception when the copy is not laid out as expected (or DICT_SHAPES is
// false): the references then stay with the caller, who builds the dict by inserts.
inline PyObject* dict_from_shape(PyObject* shape, PyObject* const* values, size_t n) {
#if VORN_DICT_TABLES
  PyObject* copy = PyDict_Copy(shape);
  if (copy == nullptr) return nullptr;
  auto* mp = reinterpret_cast<PyDictObject*>(copy);
  auto* keys = reinterpret_cast<dict_layout::KeysHead*>(mp->ma_keys);
  const auto count = static_cast<Py_ssize_t>(n);
  if (mp->ma_values != nullptr || keys->nentries != count || mp->ma_used != count ||
      (keys->kind != dict_layout::KEYS_UNICODE && keys->kind != dict_layout::KEYS_GENERAL)) {
    Py_DECREF(copy);
    return nullptr;
  }
  // A table made with room for its keys up front holds general entries (hash, key, value); one
  // made empty and grown by inserts of str keys, entries of a key and a value.
  char* entries = reinterpret_cast<char*>(keys + 1) + (size_t{1} << keys->log2_index_bytes);
  const bool general = keys->kind == dict_layout::KEYS_GENERAL;
  const size_t step =
      general ? sizeof(dict_layout::GeneralEntry) : sizeof(dict_layout::UnicodeEntry);
  const size_t value_at = general ? offsetof(dict_layout::GeneralEntry, value)
                                  : offsetof(dict_layout::UnicodeEntry, value);
  bool may_hold_references = false;
  for (size_t i = 0; i < n; ++i) {
    PyObject** slot = reinterpret_cast<PyObject**>(entries + i * step + value_at);
    PyObject* old = *slot;
    *slot = values[i];
    may_hold_references |= PyType_IS_GC(Py_TYPE(values[i])) != 0;
    Py_DECREF(old);  // the shape's own value, which the shape still holds
  }
  if (may_hold_references && !PyObject_GC_IsTracked(copy)) PyObject_GC_Track(copy);
  return copy;
#else
  (void)shape;
  (void)values;
  (void)n;
  return nullptr;
#endif
}

}  // namespace vorn::py_compat

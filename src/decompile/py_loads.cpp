// The bodies of loads and load. The reading chain is decode_document (the decoder's checks),
// decompile_document (the decompiler's checks, field names, StrRefs) and the building of the
// Python objects. Here it runs fused, with the same results and messages, as one walk over the
// image (decompile_walk.h): the payload walker makes the decoder's checks, DecompileWalk the
// decompiler's, and PythonMaker below creates the Python objects straight from the bytes, with
// no Document or tree between.

// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "decode/utf8.h"
#include "decompile/decompile_walk.h"
#include "format/bytes.h"
#include "format/probe_table.h"
#include "format/small_vector.h"
#include "io/file_io.h"
#include "module/boundary.h"
#include "module/functions.h"
#include "module/py_compat.h"
#include "module/py_ref.h"

namespace vorn {

namespace {

PyObject* checked(PyObject* o, const char* what) {
  if (o == nullptr) panic_after_failed_call(what);
  return o;
}

// A new str from valid UTF-8. ASCII text is copied straight into the string's storage; a
// single ASCII character is the interpreter's own shared str of it, whose hash it keeps.
PyObject* make_str(const char* s, size_t n, bool ascii) {
  if (ascii) {
    if (n > 1) return checked(py_compat::new_ascii_str(s, n), "str");
    if (n == 1) return checked(PyUnicode_FromOrdinal(static_cast<unsigned char>(s[0])), "str");
    return checked(PyUnicode_New(0, 0), "str");  // the interpreter's empty str
  }
  return checked(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr), "str");
}

PyObject* make_str(std::string_view s) {
  return make_str(s.data(), s.size(),
                  is_ascii(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

// A key str with its hash, worked out once per call.
struct HashedKey {
  PyObject* str;
  Py_hash_t hash;
};

// One str per distinct field name in a call, shared by every definition that has the name:
// objects of many shapes repeat the same few names. A hash table keyed by the name's bytes,
// which view the image; for an image of a few names, a list searched in order.
class KeyTable {
 public:
  KeyTable() = default;
  KeyTable(const KeyTable&) = delete;
  KeyTable& operator=(const KeyTable&) = delete;
  ~KeyTable() {
    for (const Slot& slot : listed_) Py_XDECREF(slot.key.str);
    table_.for_each_used([](Slot& slot) { Py_DECREF(slot.key.str); });
  }

  // A key of its own for a name that no other definition has; it is released with the table.
  HashedKey make(const FieldView& field) { return fill(listed_.emplace_back(), field); }

  // `names` bounds the number of distinct names the table will hold.
  HashedKey get(const FieldView& field, size_t names) {
    const std::string_view name = field.name;
    if (names <= LISTED_NAMES) {
      for (const Slot& slot : listed_) {
        if (bytes_equal(slot.name, name)) return slot.key;
      }
      return fill(listed_.emplace_back(), field);
    }
    if (table_.size() == 0) table_.reserve(names);
    auto [slot, inserted] = table_.insert(
        hash_bytes(name, table_.key()), [name](const Slot& x) { return bytes_equal(x.name, name); },
        [name](const HashKey& key) { return hash_bytes(name, key); },
        [this](Slot& x, bool) { return hash_bytes(x.name, table_.key()); });
    if (!inserted) return slot->key;
    // A failed str leaves the slot free, so that the table never releases a null key.
    Slot made{};
    fill(made, field);
    *slot = made;
    return made.key;
  }

 private:
  struct Slot {
    std::string_view name;
    HashedKey key;  // a null str: the slot is free
    bool used() const noexcept { return key.str != nullptr; }
  };

  static HashedKey fill(Slot& slot, const FieldView& field) {
    slot.key.str = make_str(field.name.data(), field.name.size(), field.ascii);
    slot.key.hash = py_compat::str_hash(slot.key.str);
    slot.name = field.name;
    return slot.key;
  }

  // Up to this many names in the image, the table is a list.
  static constexpr size_t LISTED_NAMES = 8;
  SmallVector<Slot, LISTED_NAMES> listed_;  // and the keys of names no other definition has
  ProbeTable<Slot, 16, 50> table_;
};

// The objects made but not yet taken into a list or dict, as owned references; what is left
// when it goes is released.
class ValueStack {
 public:
  ValueStack() = default;
  ValueStack(const ValueStack&) = delete;
  ValueStack& operator=(const ValueStack&) = delete;
  ~ValueStack() {
    for (size_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
    if (items_ != inline_) std::free(items_);
  }

  // Takes over `o`, which is released if there is no room for it.
  void push(PyObject* o) {
    if (size_ == capacity_) {
      try {
        grow(size_ + 1);
      } catch (...) {
        Py_DECREF(o);
        throw;
      }
    }
    items_[size_++] = o;
  }
  // Makes room for n more pushes, which then cannot fail.
  void reserve_more(size_t n) {
    if (capacity_ - size_ < n) grow(size_ + n);
  }
  void push_reserved(PyObject* o) { items_[size_++] = o; }

  size_t size() const noexcept { return size_; }
  // The n objects on top, oldest first.
  PyObject** top(size_t n) noexcept { return items_ + (size_ - n); }
  // Forgets the n objects on top, whose references the caller has taken over.
  void forget(size_t n) noexcept { size_ -= n; }

 private:
  [[gnu::noinline]] void grow(size_t need) {
    const size_t capacity = std::max(capacity_ * 2, need);
    if (capacity > SIZE_MAX / sizeof(PyObject*)) throw std::bad_alloc();
    void* p;
    if (items_ == inline_) {
      p = std::malloc(capacity * sizeof(PyObject*));
      if (p != nullptr) std::memcpy(p, inline_, size_ * sizeof(PyObject*));
    } else {
      p = std::realloc(items_, capacity * sizeof(PyObject*));
    }
    if (p == nullptr) throw std::bad_alloc();
    items_ = static_cast<PyObject**>(p);
    capacity_ = capacity;
  }

  // The stack of a small document stays in the object.
  static constexpr size_t INLINE_ITEMS = 32;
  PyObject* inline_[INLINE_ITEMS];
  PyObject** items_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = INLINE_ITEMS;
};

// Creates the Python objects for DecompileWalk, which has made every check before it asks for
// one. Finished objects wait on a stack until the list or dict that holds them is made; whatever
// is left there when the maker goes is released.
class PythonMaker {
 public:
  using Item = PyObject*;
  using List = PyRef;  // a list from list_with_room
  using Key = HashedKey;

  explicit PythonMaker(const ImageLayout& layout) : layout_(layout) {}
  PythonMaker(const PythonMaker&) = delete;
  PythonMaker& operator=(const PythonMaker&) = delete;
  ~PythonMaker() {
    for (PyObject* o : dict_strings_) Py_XDECREF(o);
    for (PyObject* o : dropped_) Py_DECREF(o);
  }

  // One str per distinct field name in a call.
  // The names of a definition that holds every field of the image are distinct (the plan keeps
  // one field per name) and met once: they need no table.
  Key key(const FieldView& field, bool only) {
    if (only) return keys_.make(field);
    return keys_.get(field, layout_.fields.size());
  }

  // Every Item is a new reference, which push and add take over.
  PyObject* null() { return Py_NewRef(Py_None); }
  PyObject* boolean(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
  PyObject* int32(int32_t i) { return make_int(i); }
  PyObject* uint32(uint32_t u) { return make_int(u); }
  PyObject* float32(uint32_t bits) { return make_float(bits); }
  PyObject* string(const uint8_t* s, uint32_t n, bool ascii) {
    return make_str(reinterpret_cast<const char*>(s), n, ascii);
  }
  // One str per dict string, made when first referred to and shared by every reference.
  PyObject* dict_string(uint32_t index, std::string_view text) {
    if (dict_strings_.empty()) dict_strings_.zero_fill(layout_.strings.size());
    PyObject*& shared = dict_strings_[index];
    if (shared == nullptr) shared = make_str(text);
    return Py_NewRef(shared);
  }

  void push(PyObject* o) { stack_.push(o); }
  void nulls(uint32_t count) {
    stack_.reserve_more(count);
    for (uint32_t i = 0; i < count; ++i) stack_.push_reserved(Py_NewRef(Py_None));
  }

  List fixed_list(uint32_t count) {
    return PyRef::steal(checked(py_compat::list_with_room(count), "list"));
  }
  void add(List& list, PyObject* item) { py_compat::append_to_room(list.get(), item); }
  void push(List&& list) { stack_.push(list.release()); }

  void list(uint32_t count) {
    // The list takes over each reference the stack held.
    PyObject* list = checked(py_compat::list_taking(stack_.top(count), count), "list");
    stack_.forget(count);
    stack_.push(list);
  }

  // The dicts of one plan share their keys, in the same order: from the third one on, each is
  // a copy of the second with its own values put in place (dict_from_shape), when every field
  // has a key of its own. `shape` notes FIRST_DICT, SECOND_DICT, NO_SHAPE or the shape itself.
  bool dict(std::span<const PlanMember<Key>> members, uint32_t count, uintptr_t& shape) {
    PyObject** values = stack_.top(count);
    if (shape > NO_SHAPE) {
      PyObject* copy =
          py_compat::dict_from_shape(reinterpret_cast<PyObject*>(shape), values, count);
      if (copy != nullptr) {
        stack_.forget(count);
        stack_.push(copy);  // the copy holds every value now
        return true;
      }
      if (PyErr_Occurred()) panic_after_failed_call("dict");
      shape = NO_SHAPE;  // laid out otherwise: by inserts from now on
    }
    // Sized for its keys up front: inserting them then never grows the table.
    PyRef dict = PyRef::steal(
        checked(py_compat::dict_with_room(static_cast<Py_ssize_t>(members.size())), "dict"));
    for (const PlanMember<Key>& m : members) {
      if (py_compat::dict_set_str(dict.get(), m.key.str, values[m.field], m.key.hash) != 0) {
        python_error_ = true;
        return false;
      }
    }
    if (members.size() == count) {
      // The dict holds every value now.
      for (uint32_t i = 0; i < count; ++i) Py_DECREF(values[i]);
      if (shape == FIRST_DICT) {
        shape = SECOND_DICT;  // a plan met once, as in most small documents, keeps no shape
      } else if (shape == SECOND_DICT) {
        shape = NO_SHAPE;
        if (py_compat::DICT_SHAPES && count >= MIN_SHAPE_KEYS && in_field_order(members)) {
          // Held to the end of the call, with the values no dict took (listed first: a failed
          // push leaves no reference behind).
          dropped_.push_back(dict.get());
          Py_INCREF(dict.get());
          shape = reinterpret_cast<uintptr_t>(dict.get());
        }
      }
    } else {
      // Values of field names that come again are not in the dict; they stay alive to the end
      // of the call, as the number cache may still point at them.
      dropped_.append(values, count);
    }
    stack_.forget(count);
    stack_.push(dict.release());
    return true;
  }

  // The result, alone on the stack once the walk is done. A new reference.
  PyObject* take_result() {
    PyObject* value = *stack_.top(1);
    stack_.forget(1);
    return value;
  }

  // True when the interpreter refused an insert; its exception is then set.
  bool python_error() const noexcept { return python_error_; }

 private:
  // At most 1024 slots, fewer for a small data block (each number takes four bytes of it).
  static constexpr unsigned MIN_NUMBER_CACHE_BITS = 4;
  // The cache of a data block of up to 256 bytes stays in the object.
  static constexpr unsigned INLINE_NUMBER_CACHE_BITS = 6;
  static constexpr unsigned MAX_NUMBER_CACHE_BITS = 10;
  static constexpr int64_t FLOAT_KEYS = int64_t{1} << 40;
  struct NumberSlot {
    int64_t key = 0;
    PyObject* object = nullptr;  // borrowed
  };

  // Sharing pays only where numbers repeat: a lookup that misses costs more than it saves on
  // data of mostly distinct numbers (coordinates, measurements). Each kind of number counts its
  // hits over windows of SHARE_WINDOW lookups; a window with fewer than one hit in eight turns
  // sharing off for the next SHARE_PAUSE numbers of that kind, after which it is tried again.
  static constexpr uint32_t SHARE_WINDOW = 256;
  static constexpr uint32_t SHARE_PAUSE = 16 * SHARE_WINDOW;
  struct Sharing {
    uint32_t countdown = SHARE_WINDOW;
    uint32_t hits = 0;
    bool paused = false;
  };

  // Equal numbers are shared within a call (ids, counts, codes and coordinates repeat a lot in
  // data): a direct-mapped cache keyed by the value, where a miss takes over the slot. Integers
  // key by their value, floats by their bits above every integer key. The slots borrow their
  // objects: nothing made during the walk is released before the call ends, so a slot never
  // outlives its object, and a miss does not touch the old object.
  template <class Make>
  PyObject* cached_number(Sharing& sharing, int64_t key, Make make) {
    if (sharing.paused) {
      if (--sharing.countdown == 0) sharing = Sharing{};
      return make();
    }
    if (numbers_.empty()) {
      number_bits_ = MIN_NUMBER_CACHE_BITS;
      while (number_bits_ < MAX_NUMBER_CACHE_BITS &&
             (size_t{4} << number_bits_) < layout_.data.size()) {
        ++number_bits_;
      }
      numbers_.resize(size_t{1} << number_bits_);
    }
    if (--sharing.countdown == 0) {
      if (sharing.hits < SHARE_WINDOW / 8) {
        sharing.paused = true;
        sharing.countdown = SHARE_PAUSE;
      } else {
        sharing.countdown = SHARE_WINDOW;
      }
      sharing.hits = 0;
    }
    NumberSlot& slot =
        numbers_[(static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ULL) >> (64 - number_bits_)];
    if (slot.object != nullptr && slot.key == key) {
      ++sharing.hits;
      return Py_NewRef(slot.object);
    }
    PyObject* o = make();
    slot.object = o;
    slot.key = key;
    return o;
  }

  // Integers from -5 to 256 are shared by the interpreter already.
  PyObject* make_int(int64_t v) {
    if (v >= -5 && v <= 256) return checked(PyLong_FromLong(static_cast<long>(v)), "int");
    return cached_number(int_sharing_, v, [v] { return checked(PyLong_FromLongLong(v), "int"); });
  }

  // The float32 widened exactly to binary64.
  PyObject* make_float(uint32_t bits) {
    return cached_number(float_sharing_, FLOAT_KEYS + bits, [bits] {
      return checked(py_compat::new_float(static_cast<double>(std::bit_cast<float>(bits))),
                     "float");
    });
  }

  // Whether member i takes the value of field i, so that the values, in field order, are the
  // values of the keys in order.
  static bool in_field_order(std::span<const PlanMember<Key>> members) noexcept {
    for (size_t i = 0; i < members.size(); ++i) {
      if (members[i].field != i) return false;
    }
    return true;
  }

  // Below this many keys, inserting them costs no more than copying a dict.
  static constexpr uint32_t MIN_SHAPE_KEYS = 3;
  // The notes of a plan before its first dict, before its second, and once its dicts are all
  // made by inserts; any other note is the plan's shape (a dict, which is never at these
  // addresses).
  static constexpr uintptr_t FIRST_DICT = 0;
  static constexpr uintptr_t SECOND_DICT = 1;
  static constexpr uintptr_t NO_SHAPE = 2;

  const ImageLayout& layout_;
  KeyTable keys_;
  ValueStack stack_;
  // Owned: values no dict took and the dicts that are shapes, released at the end.
  SmallVector<PyObject*, 4> dropped_;
  unsigned number_bits_ = 0;
  Sharing int_sharing_;
  Sharing float_sharing_;
  // Empty until the first number is cached.
  SmallVector<NumberSlot, size_t{1} << INLINE_NUMBER_CACHE_BITS> numbers_;
  SmallVector<PyObject*, 16> dict_strings_;  // owned or null, one per dict string
  bool python_error_ = false;
};

}  // namespace

PyObject* loads_impl(std::span<const uint8_t> image) {
  ImageLayout layout;
  if (Status st = read_layout(image, layout); !st) return raise_convert_error(st.error());
  PythonMaker maker(layout);
  if (Status st = decompile_walk(image, layout, maker); !st) {
    // A fault of the decoder further on comes before the interpreter's refusal.
    if (maker.python_error()) PyErr_Clear();
    return raise_convert_error(st.error());
  }
  if (maker.python_error()) return nullptr;
  return maker.take_result();
}

PyObject* load_impl(std::string_view path) {
  PythonIoHooks hooks;
  // A file that is no image is refused by its header before the rest is read.
  const Result<ByteBuffer, ConvertError> read =
      read_checked_file(path, HEADER_SIZE, &check_header, hooks);
  if (!read) return raise_convert_error(read.error());
  return loads_impl(std::span<const uint8_t>(read->data(), read->size()));
}

}  // namespace vorn

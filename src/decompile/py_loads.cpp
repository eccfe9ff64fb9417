// The bodies of loads and load. The reading chain is decode_document (the decoder's checks),
// decompile_document (the decompiler's checks, field names, StrRefs) and json_to_python (the
// objects; here the PythonSink below). Here it runs fused, with the same results and messages,
// as one walk over the image that makes the decoder's checks and, on the way, the decompiler's
// checks in the decompiler's order, creating the Python objects straight from the bytes with no
// Document or tree between.
//
// In the chain every fault of the decoder comes before any fault of the decompiler. The walk
// meets the decoder's faults in the decoder's own order, so one met before any fault of the
// decompiler is the one the chain reports. When the decompiler's checks stop the walk first, the
// rest of the image is still unchecked: validate_image then checks it whole, and the decoder's
// fault it finds, if any, is reported instead.

// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "decode/utf8.h"
#include "decode/walker.h"
#include "decompile/decompile.h"
#include "format/bytes.h"
#include "io/file_io.h"
#include "module/boundary.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace vorn {

namespace {

PyObject* checked(PyObject* o, const char* what) {
  if (o == nullptr) panic_after_failed_call(what);
  return o;
}

// All exponent bits set: an infinity or a NaN.
bool is_non_finite(uint32_t float_bits) { return (float_bits & 0x7F800000) == 0x7F800000; }

// A new str from valid UTF-8. ASCII text is copied straight into the string's storage.
PyObject* make_str(const char* s, size_t n, bool ascii) {
  if (ascii) {
    PyObject* o = checked(PyUnicode_New(static_cast<Py_ssize_t>(n), 127), "str");
    if (n != 0) std::memcpy(PyUnicode_1BYTE_DATA(o), s, n);
    return o;
  }
  return checked(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr), "str");
}

// A new float holding d. PyFloat_FromDouble first looks up the interpreter's free list, which
// costs a thread-state look-up on every call and is empty after the first hundred floats of a
// large result; this is what it does once that list is empty.
PyObject* new_float(double d) {
  auto* f = static_cast<PyFloatObject*>(PyObject_Malloc(sizeof(PyFloatObject)));
  if (f == nullptr) panic_after_failed_call("float");
  PyObject* o = PyObject_Init(reinterpret_cast<PyObject*>(f), &PyFloat_Type);
  f->ob_fval = d;
  return o;
}

// A new list with room for n items and none in it yet; the caller stores the items with
// append_new. PyList_New(n) would zero the item array first, which is wasted when every slot is
// written at once. The list counts only the items stored so far, so releasing it half filled
// is sound.
PyObject* new_list(size_t n) {
  PyObject* list = checked(PyList_New(0), "list");
  if (n == 0) return list;
  auto** items = static_cast<PyObject**>(PyMem_Malloc(n * sizeof(PyObject*)));
  if (items == nullptr) {
    Py_DECREF(list);
    panic_after_failed_call("list");
  }
  auto* l = reinterpret_cast<PyListObject*>(list);
  l->ob_item = items;
  l->allocated = static_cast<Py_ssize_t>(n);
  return list;
}

// Stores `item` (a new reference, which the list takes over) after the items already in a list
// from new_list, which has room for it.
void append_new(PyObject* list, PyObject* item) {
  const Py_ssize_t n = Py_SIZE(list);
  PyList_SET_ITEM(list, n, item);
  Py_SET_SIZE(list, n + 1);
}

PyObject* make_str(std::string_view s) {
  return make_str(s.data(), s.size(),
                  is_ascii(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

// A key str with its hash, worked out once per call.
struct Key {
  PyObject* str;
  Py_hash_t hash;
};

// One str per distinct field name in a call, shared by every definition that has the name:
// objects of many shapes repeat the same few names. An open-addressing table keyed by the
// name's bytes, which view the image.
class KeyTable {
 public:
  KeyTable() = default;
  KeyTable(const KeyTable&) = delete;
  KeyTable& operator=(const KeyTable&) = delete;
  ~KeyTable() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.key.str);
  }

  // `names` bounds the number of distinct names the table will hold.
  Key get(std::string_view name, size_t names) {
    if (slots_.empty()) {
      size_t capacity = 16;
      while (capacity < 2 * names) capacity *= 2;
      slots_.resize(capacity);
    }
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash_bytes(name) & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.key.str == nullptr) {
        slot.key.str = make_str(name);
        // Hashing a str cannot fail; the str keeps its hash from now on.
        slot.key.hash = PyObject_Hash(slot.key.str);
        slot.name = name;
        return slot.key;
      }
      if (slot.name == name) return slot.key;
    }
  }

 private:
  struct Slot {
    std::string_view name;
    Key key{nullptr, 0};
  };

  std::vector<Slot> slots_;
};

// The objects made but not yet taken into a list or dict, as owned references; what is left
// when it goes is released.
class ValueStack {
 public:
  ValueStack() { grow(64); }
  ValueStack(const ValueStack&) = delete;
  ValueStack& operator=(const ValueStack&) = delete;
  ~ValueStack() {
    for (size_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
    std::free(items_);
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
  void grow(size_t need) {
    const size_t capacity = std::max(capacity_ * 2, need);
    void* p = std::realloc(items_, capacity * sizeof(PyObject*));
    if (p == nullptr) throw std::bad_alloc();
    items_ = static_cast<PyObject**>(p);
    capacity_ = capacity;
  }

  PyObject** items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// How the values of one object definition become a dict: its members, in ascending byte order
// of their keys, stand at [first, first + count) of the sink's member list.
struct ObjectPlan {
  uint32_t first = 0;
  uint32_t count = 0;
  bool ready = false;
};

// One key of a dict and the field whose value it keeps (the last field of that name).
struct Member {
  Key key;  // borrowed from the KeyTable
  uint32_t field;
};

// Creates the Python objects as the walk hands over the values, making the decompiler's checks
// on the way. Finished objects wait on a stack until the list or dict that holds them is made;
// whatever is left there when the walk stops is released.
class PythonSink {
 public:
  explicit PythonSink(const ImageLayout& layout) : layout_(layout), plans_(layout.defs.size()) {}
  PythonSink(const PythonSink&) = delete;
  PythonSink& operator=(const PythonSink&) = delete;
  ~PythonSink() {
    for (PyObject* o : dict_strings_) Py_XDECREF(o);
    for (PyObject* o : dropped_) Py_DECREF(o);
  }

  bool null_value(uint32_t) { return push(Py_NewRef(Py_None)); }
  bool null_items(uint32_t count) {
    stack_.reserve_more(count);
    for (uint32_t i = 0; i < count; ++i) stack_.push_reserved(Py_NewRef(Py_None));
    return true;
  }
  bool bool_value(bool b) { return push(Py_NewRef(b ? Py_True : Py_False)); }
  bool int32_value(int32_t i) { return push(make_int(i)); }
  bool uint32_value(uint32_t u) { return push(make_int(u)); }
  bool float32_value(uint32_t bits) {
    if (is_non_finite(bits)) {
      return fail(std::string("Cannot represent float ") + non_finite_name(bits));
    }
    return push(make_float(bits));
  }
  bool string_value(const uint8_t* s, uint32_t n, bool ascii) {
    return push(make_str(reinterpret_cast<const char*>(s), n, ascii));
  }
  bool str_ref(uint32_t index, uint32_t depth) {
    const size_t dict_len = layout_.strings.size();
    if (index >= dict_len) return fail(str_ref_out_of_bounds(index, dict_len, depth == 1));
    // One str per dict string, made when first referred to and shared by every reference.
    if (dict_strings_.empty()) dict_strings_.assign(dict_len, nullptr);
    PyObject*& shared = dict_strings_[index];
    if (shared == nullptr) shared = make_str(layout_.strings[index]);
    return push(Py_NewRef(shared));
  }

  bool end_array(uint16_t, uint16_t, uint32_t count) {
    PyObject* list = new_list(count);
    if (count != 0) {
      // The list takes over each reference the stack held.
      std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, stack_.top(count),
                  count * sizeof(PyObject*));
      Py_SET_SIZE(list, count);
      stack_.forget(count);
    }
    return push(list);
  }

  // A list made straight from the element bytes, which are all present.
  bool fixed_array(uint16_t, uint16_t, TypeTag elem, const uint8_t* p, uint32_t count) {
    PyRef list = PyRef::steal(new_list(count));
    PyObject* const l = list.get();
    switch (elem) {
      case TypeTag::Bool:
        for (uint32_t i = 0; i < count; ++i) {
          append_new(l, Py_NewRef(p[i] != 0 ? Py_True : Py_False));
        }
        break;
      case TypeTag::Int32:
        for (uint32_t i = 0; i < count; ++i) {
          append_new(l, make_int(static_cast<int32_t>(load_u32(p + 4 * i))));
        }
        break;
      case TypeTag::UInt32:
        for (uint32_t i = 0; i < count; ++i) append_new(l, make_int(load_u32(p + 4 * i)));
        break;
      default:
        for (uint32_t i = 0; i < count; ++i) {
          const uint32_t bits = load_u32(p + 4 * i);
          if (is_non_finite(bits)) {
            return fail(std::string("Cannot represent float ") + non_finite_name(bits));
          }
          append_new(l, make_float(bits));
        }
        break;
    }
    return push(list.release());
  }

  bool begin_object(uint16_t index, uint32_t values) {
    if (plans_[index].ready) return true;
    return make_plan(index, values);
  }

  bool end_object(uint16_t index, uint32_t count) {
    const ObjectPlan& plan = plans_[index];
    PyObject** values = stack_.top(count);
    // Sized for its keys up front: inserting them then never grows the table.
    PyObject* dict = checked(_PyDict_NewPresized(plan.count), "dict");
    const Member* const members = members_.data() + plan.first;
    for (const Member& m : std::span(members, plan.count)) {
      if (_PyDict_SetItem_KnownHash(dict, m.key.str, values[m.field], m.key.hash) != 0) {
        Py_DECREF(dict);
        python_error_ = true;
        return false;
      }
    }
    if (plan.count == count) {
      // The dict holds every value now.
      for (uint32_t i = 0; i < count; ++i) Py_DECREF(values[i]);
    } else {
      // Values of field names that come again are not in the dict; they stay alive to the end
      // of the call, as the number cache may still point at them.
      dropped_.insert(dropped_.end(), values, values + count);
    }
    stack_.forget(count);
    return push(dict);
  }

  bool begin_entry(uint32_t, uint16_t, uint32_t) { return true; }
  bool end_entry(uint16_t) { return true; }

  // The result once every entry is walked: None for no entries, the value of a single one, a
  // list of the values of several. A new reference.
  PyObject* take_result() {
    if (stack_.size() == 0) return Py_NewRef(Py_None);
    if (stack_.size() == 1) {
      PyObject* value = *stack_.top(1);
      stack_.forget(1);
      return value;
    }
    const auto count = static_cast<uint32_t>(stack_.size());
    if (!end_array(0, 0, count)) return nullptr;
    return take_result();
  }

  bool python_error() const noexcept { return python_error_; }
  const std::string& error() const noexcept { return error_; }

 private:
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  bool push(PyObject* o) {
    stack_.push(o);
    return true;
  }

  // The decompiler's checks of an object value with `values` values against the definition
  // found by its self_def_index; on success, the plan of its dict.
  bool make_plan(uint16_t index, uint32_t values) {
    const std::span<const DefView> defs(layout_.defs);
    const DefView* def = find_definition(index, defs);
    std::string fault =
        check_object_definition(index, def != nullptr, def != nullptr && def->has_fields,
                                def != nullptr ? def->field_count : 0, values);
    if (!fault.empty()) return fail(std::move(fault));

    if (members_.empty()) members_.reserve(layout_.fields.size());
    ObjectPlan& plan = plans_[index];
    plan.first = static_cast<uint32_t>(members_.size());
    const std::span<const FieldView> fields = layout_.fields_of(*def);
    const auto n = static_cast<uint32_t>(fields.size());
    // The compiler writes the fields in key order, one per key; then they keep their places.
    uint32_t sorted = 1;
    while (sorted < n && fields[sorted - 1].name < fields[sorted].name) ++sorted;
    if (sorted >= n) {
      for (uint32_t i = 0; i < n; ++i) add_member(fields[i].name, i);
    } else {
      std::vector<std::string_view> names;
      names.reserve(n);
      for (const FieldView& f : fields) names.push_back(f.name);
      for (uint32_t field : order_fields(names).winner) add_member(names[field], field);
    }
    plan.count = static_cast<uint32_t>(members_.size()) - plan.first;
    plan.ready = true;
    return true;
  }

  void add_member(std::string_view name, uint32_t field) {
    members_.push_back(Member{keys_.get(name, layout_.fields.size()), field});
  }

  // At most 1024 slots, fewer for a small data block (each number takes four bytes of it).
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
      number_bits_ = 4;
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

  PyObject* make_float(uint32_t bits) {
    return cached_number(float_sharing_, FLOAT_KEYS + bits, [bits] {
      return new_float(static_cast<double>(std::bit_cast<float>(bits)));
    });
  }

  const ImageLayout& layout_;
  KeyTable keys_;
  ValueStack stack_;
  std::vector<PyObject*> dropped_;  // owned: values no dict took, released at the end
  unsigned number_bits_ = 0;
  Sharing int_sharing_;
  Sharing float_sharing_;
  std::vector<NumberSlot> numbers_;      // empty until the first number is cached
  std::vector<PyObject*> dict_strings_;  // owned or null, one per dict string
  std::vector<ObjectPlan> plans_;        // per self_def_index, made when first met
  std::vector<Member> members_;          // the members of every plan
  std::string error_;
  bool python_error_ = false;
};

}  // namespace

PyObject* loads_impl(std::span<const uint8_t> image) {
  ImageLayout layout;
  if (Status st = read_layout(image, layout); !st) return raise_convert_error(st.error());
  PythonSink sink(layout);
  PayloadWalker<PythonSink> walker(layout, sink);
  if (walker.walk_entries()) return sink.take_result();
  if (!walker.error().empty()) return raise_convert_error(FormatError{walker.error()});
  // The decompiler's checks (or the interpreter) stopped the walk: a fault of the decoder
  // further on comes first.
  ImageLayout whole;
  if (Status st = validate_image(image, whole); !st) {
    if (sink.python_error()) PyErr_Clear();
    return raise_convert_error(st.error());
  }
  if (sink.python_error()) return nullptr;
  return raise_convert_error(FormatError{sink.error()});
}

PyObject* load_impl(std::string_view path) {
  auto read = read_image_file(path);
  if (auto* error = std::get_if<IoError>(&read)) return raise_convert_error(*error);
  const ByteBuffer& buffer = std::get<ByteBuffer>(read);
  return loads_impl(std::span<const uint8_t>(buffer.data(), buffer.size()));
}

}  // namespace vorn

// The bodies of loads and load. The reading chain is decode_document (the decoder's checks),
// decompile_document (the decompiler's checks, field names, StrRefs) and json_to_python (the
// objects). Here it runs fused, with the same results and messages, as one walk over the image
// that makes the decoder's checks and, on the way, the decompiler's checks in the decompiler's
// order, creating the Python objects straight from the bytes with no Document or tree between.
//
// In the chain every fault of the decoder comes before any fault of the decompiler. The walk
// meets the decoder's faults in the decoder's own order, so one met before any fault of the
// decompiler is the one the chain reports. When the decompiler's checks stop the walk first, the
// rest of the image is still unchecked: validate_image then checks it whole, and the decoder's
// fault it finds, if any, is reported instead.

// Python.h comes first.
#include "module/py_ref.h"
// The standard and project headers after it.
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "decode/utf8.h"
#include "decode/walker.h"
#include "decompile/decompile.h"
#include "decompile/py_json.h"
#include "module/boundary.h"
#include "module/file_io.h"
#include "module/functions.h"

namespace vorn {

namespace {

PyObject* checked(PyObject* o, const char* what) {
  if (o == nullptr) panic_after_failed_call(what);
  return o;
}

// A new str from valid UTF-8. ASCII text is copied straight into the string's storage.
PyObject* make_str(const char* s, size_t n, bool ascii) {
  if (ascii) {
    PyObject* o = checked(PyUnicode_New(static_cast<Py_ssize_t>(n), 127), "str");
    if (n != 0) std::memcpy(PyUnicode_1BYTE_DATA(o), s, n);
    return o;
  }
  return checked(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr), "str");
}

PyObject* make_str(std::string_view s) {
  return make_str(s.data(), s.size(),
                  is_ascii(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

// How the values of one object definition become a dict: for each key, in ascending byte
// order, its str and the field whose value it keeps.
struct ObjectPlan {
  struct Member {
    PyObject* key;  // owned
    Py_hash_t hash;
    uint32_t field;
  };
  std::vector<Member> members;

  ObjectPlan() = default;
  ObjectPlan(const ObjectPlan&) = delete;
  ObjectPlan& operator=(const ObjectPlan&) = delete;
  ~ObjectPlan() {
    for (const Member& m : members) Py_DECREF(m.key);
  }
};

// Creates the Python objects as the walk hands over the values, making the decompiler's checks
// on the way. Finished objects wait on a stack until the list or dict that holds them is made;
// whatever is left there when the walk stops is released.
class PythonSink {
 public:
  explicit PythonSink(const ImageLayout& layout) : layout_(layout), plans_(layout.defs.size()) {
    stack_.reserve(64);
  }
  PythonSink(const PythonSink&) = delete;
  PythonSink& operator=(const PythonSink&) = delete;
  ~PythonSink() {
    for (PyObject* o : stack_) Py_DECREF(o);
    for (PyObject* o : dict_strings_) Py_XDECREF(o);
  }

  bool null_value(uint32_t) { return push(Py_NewRef(Py_None)); }
  bool null_items(uint32_t count) {
    stack_.reserve(stack_.size() + count);
    for (uint32_t i = 0; i < count; ++i) stack_.push_back(Py_NewRef(Py_None));
    return true;
  }
  bool bool_value(bool b) { return push(Py_NewRef(b ? Py_True : Py_False)); }
  bool int32_value(int32_t i) { return push(checked(PyLong_FromLong(i), "int")); }
  bool uint32_value(uint32_t u) {
    return push(checked(PyLong_FromLong(static_cast<long>(u)), "int"));
  }
  bool float32_value(uint32_t bits) {
    if (const char* name = non_finite_name(bits)) {
      return fail(std::string("Cannot represent float ") + name);
    }
    const double d = static_cast<double>(std::bit_cast<float>(bits));
    return push(checked(PyFloat_FromDouble(d), "float"));
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
    PyObject* list = checked(PyList_New(count), "list");
    PyObject** items = stack_.data() + (stack_.size() - count);
    // PyList_SET_ITEM steals each reference the stack held.
    for (uint32_t i = 0; i < count; ++i) PyList_SET_ITEM(list, i, items[i]);
    stack_.resize(stack_.size() - count);
    return push(list);
  }

  bool begin_object(uint16_t index, uint32_t values) {
    if (plans_[index]) return true;
    return make_plan(index, values);
  }

  bool end_object(uint16_t index, uint32_t count) {
    const ObjectPlan& plan = *plans_[index];
    PyObject** values = stack_.data() + (stack_.size() - count);
    // Sized for its keys up front: inserting them then never grows the table.
    const auto size = static_cast<Py_ssize_t>(plan.members.size());
    PyObject* dict = checked(_PyDict_NewPresized(size), "dict");
    for (const ObjectPlan::Member& m : plan.members) {
      if (_PyDict_SetItem_KnownHash(dict, m.key, values[m.field], m.hash) != 0) {
        Py_DECREF(dict);
        python_error_ = true;
        return false;
      }
    }
    for (uint32_t i = 0; i < count; ++i) Py_DECREF(values[i]);
    stack_.resize(stack_.size() - count);
    return push(dict);
  }

  bool end_entry(uint16_t) { return true; }

  // The result once every entry is walked: None for no entries, the value of a single one, a
  // list of the values of several. A new reference.
  PyObject* take_result() {
    if (stack_.empty()) return Py_NewRef(Py_None);
    if (stack_.size() == 1) {
      PyObject* value = stack_.back();
      stack_.pop_back();
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

  // Never throws after taking `o`, so the reference cannot leak.
  bool push(PyObject* o) {
    if (stack_.size() == stack_.capacity()) {
      try {
        stack_.reserve(stack_.capacity() * 2);
      } catch (...) {
        Py_DECREF(o);
        throw;
      }
    }
    stack_.push_back(o);
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

    const std::span<const FieldView> fields = layout_.fields_of(*def);
    std::vector<std::string_view> names;
    names.reserve(fields.size());
    for (const FieldView& f : fields) names.push_back(f.name);
    const FieldOrder order = order_fields(names);
    auto plan = std::make_unique<ObjectPlan>();
    plan->members.reserve(order.winner.size());
    for (uint32_t field : order.winner) {
      PyObject* key = make_str(names[field]);
      plan->members.push_back(ObjectPlan::Member{key, 0, field});
      // Hashing a str cannot fail; its hash is cached in the object from now on.
      plan->members.back().hash = PyObject_Hash(key);
    }
    plans_[index] = std::move(plan);
    return true;
  }

  const ImageLayout& layout_;
  std::vector<PyObject*> stack_;                    // owned references
  std::vector<PyObject*> dict_strings_;             // owned or null, one per dict string
  std::vector<std::unique_ptr<ObjectPlan>> plans_;  // per self_def_index, made when first met
  std::string error_;
  bool python_error_ = false;
};

}  // namespace

PyObject* json_to_python(const JsonTree& tree, const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::Null:
      return Py_NewRef(Py_None);
    case JsonKind::Bool:
      return Py_NewRef(value.boolean ? Py_True : Py_False);
    case JsonKind::Number:
      switch (value.form) {
        case NumberForm::Unsigned:
          if (value.number.u64 > 9223372036854775807ULL) {
            return checked(PyFloat_FromDouble(static_cast<double>(value.number.u64)), "float");
          }
          return checked(PyLong_FromLongLong(static_cast<long long>(value.number.u64)), "int");
        case NumberForm::Negative:
          return checked(PyLong_FromLongLong(value.number.i64), "int");
        case NumberForm::Float:
          return checked(PyFloat_FromDouble(value.number.f64), "float");
      }
      break;
    case JsonKind::String:
      return make_str(value.text);
    case JsonKind::Array: {
      PyRef list = PyRef::steal(checked(PyList_New(0), "list"));
      for (const JsonValue& item : tree.children(value)) {
        PyRef o = PyRef::steal(json_to_python(tree, item));
        if (!o) return nullptr;
        if (PyList_Append(list.get(), o.get()) != 0) return nullptr;
      }
      return list.release();
    }
    case JsonKind::Object: {
      PyRef dict = PyRef::steal(checked(PyDict_New(), "dict"));
      for (const JsonValue& member : tree.children(value)) {
        PyRef o = PyRef::steal(json_to_python(tree, member));
        if (!o) return nullptr;
        PyRef key = PyRef::steal(make_str(member.key));
        if (PyDict_SetItem(dict.get(), key.get(), o.get()) != 0) return nullptr;
      }
      return dict.release();
    }
  }
  throw Panic("unknown JSON value kind");
}

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

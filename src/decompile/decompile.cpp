#include "decompile/decompile.h"

#include <algorithm>
#include <bit>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "decompile/decompile_walk.h"
#include "format/key_order.h"

namespace vorn {

std::string check_object_definition(uint16_t index, const DefView* def, size_t values) {
  if (def == nullptr) return "Unknown definition index: " + std::to_string(index);
  const std::string object = "Object #" + std::to_string(index);
  if (!def->has_fields) return object + ": no field definitions";
  if (!object_definition_fits(def, values)) {
    return object + ": expected " + std::to_string(def->field_count) + " fields, got " +
           std::to_string(values);
  }
  return {};
}

std::string str_ref_out_of_bounds(uint32_t index, size_t dict_len, uint32_t depth) {
  std::string message = "StrRef index " + std::to_string(index) + " out of bounds";
  if (depth == 1) message += " (dict len " + std::to_string(dict_len) + ")";
  return message;
}

std::vector<uint32_t> order_unsorted_keys(std::span<const FieldView> fields) {
  std::vector<uint32_t> by_name(fields.size());
  std::iota(by_name.begin(), by_name.end(), 0U);
  const size_t kept = order_keys<32>(by_name.data(), by_name.size(), [&](uint32_t a, uint32_t b) {
    return fields[a].name.compare(fields[b].name);
  });
  by_name.resize(kept);
  return by_name;
}

namespace {

// Makes the JsonValue tree. Finished nodes wait on a stack; a list or dict moves its children
// from there to the end of the node array, where they stay adjacent, and takes their place. A
// list of scalars goes straight to the node array. Strings and keys view their source (the
// image, or the Document).
class TreeMaker {
 public:
  using Item = JsonValue;
  // A list of scalars made in place: its items are the nodes from `first` on.
  struct List {
    uint32_t first;
    uint32_t count;
  };
  using Key = std::string_view;

  Key key(const FieldView& field, bool) { return field.name; }

  JsonValue null() { return JsonValue{}; }
  JsonValue boolean(bool b) {
    JsonValue v;
    v.kind = JsonKind::Bool;
    v.boolean = b;
    return v;
  }
  // 0 and above in the unsigned form, below 0 in the negative form.
  JsonValue int32(int32_t i) {
    JsonValue v;
    v.kind = JsonKind::Number;
    if (i < 0) {
      v.form = NumberForm::Negative;
      v.number.i64 = i;
    } else {
      v.number.u64 = static_cast<uint64_t>(i);
    }
    return v;
  }
  JsonValue uint32(uint32_t u) {
    JsonValue v;
    v.kind = JsonKind::Number;
    v.number.u64 = u;
    return v;
  }
  JsonValue float32(uint32_t bits) {
    JsonValue v;
    v.kind = JsonKind::Number;
    v.form = NumberForm::Float;
    v.number.f64 = static_cast<double>(std::bit_cast<float>(bits));
    return v;
  }
  JsonValue string(const uint8_t* s, uint32_t n, bool) {
    return text(std::string_view(reinterpret_cast<const char*>(s), n));
  }
  JsonValue dict_string(uint32_t, std::string_view s) { return text(s); }

  void push(const JsonValue& v) { stack_.push_back(v); }
  void nulls(uint32_t count) { stack_.resize(stack_.size() + count); }

  List fixed_list(uint32_t) { return List{static_cast<uint32_t>(tree_.nodes.size()), 0}; }
  void add(List& list, const JsonValue& v) {
    tree_.nodes.push_back(v);
    ++list.count;
  }
  void push(List&& list) { container(JsonKind::Array, list.first, list.count); }

  void list(uint32_t count) {
    const auto first = static_cast<uint32_t>(tree_.nodes.size());
    const auto from = stack_.end() - static_cast<std::ptrdiff_t>(count);
    tree_.nodes.insert(tree_.nodes.end(), from, stack_.end());
    stack_.erase(from, stack_.end());
    container(JsonKind::Array, first, count);
  }

  bool dict(std::span<const PlanMember<Key>> members, uint32_t values, uintptr_t&) {
    const auto first = static_cast<uint32_t>(tree_.nodes.size());
    const size_t base = stack_.size() - values;
    for (const PlanMember<Key>& m : members) {
      JsonValue member = stack_[base + m.field];
      member.key = m.key;
      tree_.nodes.push_back(member);
    }
    stack_.resize(base);
    container(JsonKind::Object, first, static_cast<uint32_t>(members.size()));
    return true;
  }

  // The tree, once the result stands alone on the stack.
  JsonTree take_tree() {
    tree_.root = static_cast<uint32_t>(tree_.nodes.size());
    tree_.nodes.push_back(stack_.back());
    stack_.clear();
    return std::move(tree_);
  }

 private:
  static JsonValue text(std::string_view s) {
    JsonValue v;
    v.kind = JsonKind::String;
    v.text = s;
    return v;
  }
  void container(JsonKind kind, uint32_t first, uint32_t count) {
    JsonValue v;
    v.kind = kind;
    v.first = first;
    v.count = count;
    stack_.push_back(v);
  }

  JsonTree tree_;
  std::vector<JsonValue> stack_;
};

// The definitions and dict strings of a Document as a layout for DecompileWalk, viewing the
// Document.
ImageLayout layout_of(const Document& doc) {
  ImageLayout layout;
  layout.defs.reserve(doc.definitions.size());
  for (const Definition& def : doc.definitions) {
    DefView view;
    view.kind = def.kind;
    view.id = def.id;
    view.has_elem_type = def.elem_type.has_value();
    if (def.elem_type) view.elem_type = *def.elem_type;
    view.has_fields = def.fields.has_value();
    view.first_field = static_cast<uint32_t>(layout.fields.size());
    if (def.fields) {
      view.field_count = static_cast<uint32_t>(def.fields->size());
      for (const FieldDef& f : *def.fields) layout.fields.push_back(FieldView{f.name, f.tag});
    }
    layout.defs.push_back(view);
  }
  layout.strings.reserve(doc.strings.size());
  for (const std::string& s : doc.strings) layout.strings.push_back(s);
  return layout;
}

// Hands the values of a Document's Value tree to a PayloadWalker sink, in the order the walker
// hands over the values of an image, with the same nesting depths. Array items go one by one.
template <class Sink>
class ValueWalker {
 public:
  explicit ValueWalker(Sink& sink) : sink_(sink) {}

  bool walk_entries(const std::vector<DataEntry>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
      const DataEntry& entry = entries[i];
      if (!sink_.begin_entry(static_cast<uint32_t>(i), entry.def_index, 0)) return false;
      if (!walk(entry.value, 1)) return false;
      if (!sink_.end_entry(entry.def_index)) return false;
    }
    return true;
  }

 private:
  bool walk(const Value& value, uint32_t depth) {
    switch (value.kind) {
      case ValueKind::Null:
        return sink_.null_value(depth);
      case ValueKind::Bool:
        return sink_.bool_value(bool_of(value.boolean));
      case ValueKind::Int32:
        return sink_.int32_value(value.as_int32());
      case ValueKind::UInt32:
        return sink_.uint32_value(value.as_uint32());
      case ValueKind::Float32:
        return sink_.float32_value(value.bits);
      case ValueKind::String:
        // Whether the text is ASCII is not known here; false is always sound.
        return sink_.string_value(reinterpret_cast<const uint8_t*>(value.text.data()),
                                  static_cast<uint32_t>(value.text.size()), false);
      case ValueKind::StrRef:
        return sink_.str_ref(value.ref_index(), depth);
      case ValueKind::Array:
        for (const Value& item : value.items) {
          if (!walk(item, depth + 1)) return false;
        }
        return sink_.end_array(value.self_def_index, value.elem_def_index,
                               static_cast<uint32_t>(value.items.size()));
      case ValueKind::Object: {
        const auto count = static_cast<uint32_t>(value.items.size());
        if (!sink_.begin_object(value.self_def_index, count)) return false;
        for (const Value& item : value.items) {
          if (!walk(item, depth + 1)) return false;
        }
        return sink_.end_object(value.self_def_index, count);
      }
    }
    return false;
  }

  Sink& sink_;
};

}  // namespace

Result<JsonTree> decompile_document(const Document& doc) {
  const ImageLayout layout = layout_of(doc);
  TreeMaker maker;
  DecompileWalk<TreeMaker> walk(layout, maker);
  ValueWalker<DecompileWalk<TreeMaker>> values(walk);
  if (!values.walk_entries(doc.entries)) return FormatError{walk.error()};
  walk.finish();
  return maker.take_tree();
}

Result<JsonTree> decompile_image(std::span<const uint8_t> image) {
  ImageLayout layout;
  if (Status st = read_layout(image, layout); !st) return st.error();
  TreeMaker maker;
  if (Status st = decompile_walk(image, layout, maker); !st) return st.error();
  return maker.take_tree();
}

Status check_image(std::span<const uint8_t> image, ImageLayout& layout) {
  if (Status st = read_layout(image, layout); !st) return st;
  CheckingMaker maker;
  return decompile_walk(image, layout, maker);
}

}  // namespace vorn

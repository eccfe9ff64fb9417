#include "decompile/decompile.h"

#include <algorithm>
#include <bit>
#include <numeric>
#include <optional>
#include <string>

namespace vorn {

FieldOrder order_fields(std::span<const std::string_view> names) {
  const auto n = static_cast<uint32_t>(names.size());
  FieldOrder order;
  order.slot.resize(n);
  order.winner.resize(n);
  std::iota(order.slot.begin(), order.slot.end(), 0U);
  // The compiler writes the fields of a definition in key order, one per key: then every field
  // keeps its own place.
  uint32_t sorted = 1;
  while (sorted < n && names[sorted - 1] < names[sorted]) ++sorted;
  if (sorted >= n) {
    std::iota(order.winner.begin(), order.winner.end(), 0U);
    return order;
  }
  order.winner.clear();

  std::vector<uint32_t> by_name(n);
  std::iota(by_name.begin(), by_name.end(), 0U);
  // Stable, so that fields of one name stay in field order and the last of them wins. Most
  // definitions have a few fields, for which an insertion sort is quickest.
  const auto less = [&](uint32_t a, uint32_t b) { return names[a] < names[b]; };
  if (n <= 32) {
    for (uint32_t i = 1; i < n; ++i) {
      const uint32_t field = by_name[i];
      uint32_t j = i;
      for (; j > 0 && less(field, by_name[j - 1]); --j) by_name[j] = by_name[j - 1];
      by_name[j] = field;
    }
  } else {
    std::stable_sort(by_name.begin(), by_name.end(), less);
  }
  for (uint32_t k = 0; k < n; ++k) {
    const uint32_t field = by_name[k];
    if (k == 0 || names[by_name[k - 1]] != names[field]) {
      order.winner.push_back(field);
    } else {
      order.winner.back() = field;
    }
    order.slot[field] = static_cast<uint32_t>(order.winner.size() - 1);
  }
  return order;
}

std::string check_object_definition(uint16_t index, bool found, bool has_fields, size_t fields,
                                    size_t values) {
  if (!found) return "Unknown definition index: " + std::to_string(index);
  const std::string object = "Object #" + std::to_string(index);
  if (!has_fields) return object + ": no field definitions";
  if (fields != values) {
    return object + ": expected " + std::to_string(fields) + " fields, got " +
           std::to_string(values);
  }
  return {};
}

std::string str_ref_out_of_bounds(uint32_t index, size_t dict_len, bool top_level) {
  std::string message = "StrRef index " + std::to_string(index) + " out of bounds";
  if (top_level) message += " (dict len " + std::to_string(dict_len) + ")";
  return message;
}

const char* non_finite_name(uint32_t bits) noexcept {
  const auto wide = std::bit_cast<uint64_t>(static_cast<double>(std::bit_cast<float>(bits)));
  if ((wide & 0x7FFFFFFFFFFFFFFFULL) <= 0x7FEFFFFFFFFFFFFFULL) return nullptr;
  if ((wide & 0x000FFFFFFFFFFFFFULL) != 0) return "NaN";
  return (wide >> 63) != 0 ? "-inf" : "inf";
}

namespace {

class Decompiler {
 public:
  Decompiler(const Document& doc, JsonTree& tree)
      : doc_(doc), tree_(tree), orders_(doc.definitions.size()) {}

  // The value of one entry, written into node `slot`.
  Status decompile_entry_value(const Value& value, uint32_t slot) {
    return decompile(value, slot, true);
  }
  // A value below the top level of an entry.
  Status decompile_value(const Value& value, uint32_t slot) {
    return decompile(value, slot, false);
  }

 private:
  Status decompile(const Value& value, uint32_t slot, bool top_level) {
    JsonValue node;
    switch (value.kind) {
      case ValueKind::Null:
        break;
      case ValueKind::Bool:
        node.kind = JsonKind::Bool;
        node.boolean = value.boolean != 0;
        break;
      case ValueKind::Int32:
        node.kind = JsonKind::Number;
        if (value.as_int32() < 0) {
          node.form = NumberForm::Negative;
          node.number.i64 = value.as_int32();
        } else {
          node.number.u64 = static_cast<uint64_t>(value.as_int32());
        }
        break;
      case ValueKind::UInt32:
        node.kind = JsonKind::Number;
        node.number.u64 = value.as_uint32();
        break;
      case ValueKind::Float32:
        if (const char* name = non_finite_name(value.bits)) {
          return FormatError{std::string("Cannot represent float ") + name};
        }
        node.kind = JsonKind::Number;
        node.form = NumberForm::Float;
        node.number.f64 = static_cast<double>(value.as_float32());
        break;
      case ValueKind::String:
        node.kind = JsonKind::String;
        node.text = value.text;
        break;
      case ValueKind::StrRef:
        if (value.ref_index() >= doc_.strings.size()) {
          return FormatError{
              str_ref_out_of_bounds(value.ref_index(), doc_.strings.size(), top_level)};
        }
        node.kind = JsonKind::String;
        node.text = doc_.strings[value.ref_index()];
        break;
      case ValueKind::Array: {
        const auto count = static_cast<uint32_t>(value.items.size());
        const auto first = static_cast<uint32_t>(tree_.nodes.size());
        tree_.nodes.resize(first + static_cast<size_t>(count));
        for (uint32_t i = 0; i < count; ++i) {
          if (Status st = decompile_value(value.items[i], first + i); !st) return st;
        }
        node.kind = JsonKind::Array;
        node.first = first;
        node.count = count;
        break;
      }
      case ValueKind::Object:
        return decompile_object(value, slot);
    }
    tree_.nodes[slot] = node;
    return {};
  }

  Status decompile_object(const Value& value, uint32_t slot) {
    const uint16_t index = value.self_def_index;
    const std::span<const Definition> defs(doc_.definitions);
    const Definition* def = find_definition(index, defs);
    const size_t fields = def != nullptr && def->fields ? def->fields->size() : 0;
    const std::string fault =
        check_object_definition(index, def != nullptr, def != nullptr && def->fields.has_value(),
                                fields, value.items.size());
    if (!fault.empty()) return FormatError{fault};

    const FieldOrder& order = order_of(*def, static_cast<size_t>(def - defs.data()));
    const auto count = static_cast<uint32_t>(order.winner.size());
    const auto first = static_cast<uint32_t>(tree_.nodes.size());
    tree_.nodes.resize(first + static_cast<size_t>(count));
    for (size_t i = 0; i < fields; ++i) {
      const uint32_t member = first + order.slot[i];
      // A field whose name comes again later is decompiled all the same (its faults count)
      // and then overwritten by the later one.
      if (Status st = decompile_value(value.items[i], member); !st) return st;
      tree_.nodes[member].key = (*def->fields)[i].name;
    }
    JsonValue node;
    node.kind = JsonKind::Object;
    node.first = first;
    node.count = count;
    tree_.nodes[slot] = node;
    return {};
  }

  const FieldOrder& order_of(const Definition& def, size_t position) {
    std::optional<FieldOrder>& order = orders_[position];
    if (!order) {
      std::vector<std::string_view> names;
      names.reserve(def.fields->size());
      for (const FieldDef& f : *def.fields) names.push_back(f.name);
      order = order_fields(names);
    }
    return *order;
  }

  const Document& doc_;
  JsonTree& tree_;
  std::vector<std::optional<FieldOrder>> orders_;  // per definition position, made when needed
};

}  // namespace

Result<JsonTree> decompile_document(const Document& doc) {
  JsonTree tree;
  Decompiler decompiler(doc, tree);
  const size_t entries = doc.entries.size();
  tree.nodes.resize(entries > 1 ? entries + 1 : 1);
  tree.root = 0;
  if (entries == 1) {
    if (Status st = decompiler.decompile_entry_value(doc.entries[0].value, 0); !st) {
      return st.error();
    }
  } else if (entries > 1) {
    tree.nodes[0].kind = JsonKind::Array;
    tree.nodes[0].first = 1;
    tree.nodes[0].count = static_cast<uint32_t>(entries);
    for (size_t i = 0; i < entries; ++i) {
      const auto slot = static_cast<uint32_t>(i + 1);
      if (Status st = decompiler.decompile_entry_value(doc.entries[i].value, slot); !st) {
        return st.error();
      }
    }
  }
  return tree;
}

}  // namespace vorn

// Comparisons shared by the fuzz targets. A failed check prints where and aborts, which the
// fuzzer reports as a crash with the input that caused it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/format.h"
#include "format/json_value.h"

#define VORN_FUZZ_CHECK(cond)                                                         \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "check failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace vorn::fuzz {

inline bool same_value(const Value& a, const Value& b) {
  if (a.kind != b.kind || a.boolean != b.boolean || a.bits != b.bits || a.text != b.text ||
      a.self_def_index != b.self_def_index || a.elem_def_index != b.elem_def_index ||
      a.items.size() != b.items.size()) {
    return false;
  }
  for (size_t i = 0; i < a.items.size(); ++i) {
    if (!same_value(a.items[i], b.items[i])) return false;
  }
  return true;
}

inline bool same_document(const Document& a, const Document& b) {
  if (a.version != b.version || a.strings != b.strings ||
      a.definitions.size() != b.definitions.size() || a.entries.size() != b.entries.size()) {
    return false;
  }
  for (size_t i = 0; i < a.definitions.size(); ++i) {
    const Definition& x = a.definitions[i];
    const Definition& y = b.definitions[i];
    if (x.kind != y.kind || x.id != y.id || x.elem_type != y.elem_type ||
        x.fields.has_value() != y.fields.has_value()) {
      return false;
    }
    if (!x.fields) continue;
    if (x.fields->size() != y.fields->size()) return false;
    for (size_t j = 0; j < x.fields->size(); ++j) {
      if ((*x.fields)[j].name != (*y.fields)[j].name || (*x.fields)[j].tag != (*y.fields)[j].tag) {
        return false;
      }
    }
  }
  for (size_t i = 0; i < a.entries.size(); ++i) {
    if (a.entries[i].def_index != b.entries[i].def_index ||
        !same_value(a.entries[i].value, b.entries[i].value)) {
      return false;
    }
  }
  return true;
}

inline bool same_number(const JsonValue& a, const JsonValue& b) {
  if (a.form != b.form) return false;
  switch (a.form) {
    case NumberForm::Unsigned:
      return a.number.u64 == b.number.u64;
    case NumberForm::Negative:
      return a.number.i64 == b.number.i64;
    case NumberForm::Float:
      return std::memcmp(&a.number.f64, &b.number.f64, sizeof(double)) == 0;
  }
  return false;
}

inline bool same_tree(const JsonTree& ta, const JsonValue& a, const JsonTree& tb,
                      const JsonValue& b) {
  if (a.kind != b.kind || a.count != b.count) return false;
  switch (a.kind) {
    case JsonKind::Null:
      return true;
    case JsonKind::Bool:
      return a.boolean == b.boolean;
    case JsonKind::Number:
      return same_number(a, b);
    case JsonKind::String:
      return a.text == b.text;
    case JsonKind::Array:
    case JsonKind::Object: {
      auto ca = ta.children(a);
      auto cb = tb.children(b);
      for (size_t i = 0; i < ca.size(); ++i) {
        if (ca[i].key != cb[i].key || !same_tree(ta, ca[i], tb, cb[i])) return false;
      }
      return true;
    }
  }
  return false;
}

// The double nearest to the float32 that the compiler makes of `d`: ties to even, and infinity
// from the midpoint between the largest float and 2^128 on.
inline double narrowed_float(double d) {
  if (std::fabs(d) >= 0x1.ffffffp127) return std::copysign(INFINITY, d);
  return static_cast<double>(static_cast<float>(d));
}

inline JsonValue number_of_int32(int32_t v) {
  JsonValue n;
  n.kind = JsonKind::Number;
  if (v >= 0) {
    n.form = NumberForm::Unsigned;
    n.number.u64 = static_cast<uint64_t>(v);
  } else {
    n.form = NumberForm::Negative;
    n.number.i64 = v;
  }
  return n;
}

// What a number of the JSON text becomes after a round trip through an image. `promoted` is set
// for the items of an array that mixes integers and floats, which are all stored as float32.
inline JsonValue narrowed_number(const JsonValue& n, bool promoted) {
  JsonValue out;
  out.kind = JsonKind::Number;
  out.form = NumberForm::Float;
  if (n.form == NumberForm::Float) {
    out.number.f64 = narrowed_float(n.number.f64);
    return out;
  }
  if (promoted) {
    const float f = n.form == NumberForm::Unsigned ? static_cast<float>(n.number.u64)
                                                   : static_cast<float>(n.number.i64);
    out.number.f64 = static_cast<double>(f);
    return out;
  }
  if (n.form == NumberForm::Unsigned && n.number.u64 > INT64_MAX) {
    out.form = NumberForm::Unsigned;
    out.number.u64 = n.number.u64 & 0xFFFFFFFFu;
    return out;
  }
  const uint64_t bits =
      n.form == NumberForm::Unsigned ? n.number.u64 : static_cast<uint64_t>(n.number.i64);
  return number_of_int32(static_cast<int32_t>(static_cast<uint32_t>(bits & 0xFFFFFFFFu)));
}

// The number kind the compiler gives a JSON number: 2 Int32, 3 UInt32, 4 Float32.
inline int number_kind(const JsonValue& n) {
  if (n.form == NumberForm::Float) return 4;
  if (n.form == NumberForm::Unsigned && n.number.u64 > INT64_MAX) return 3;
  return 2;
}

// True when `result` is `original` with its numbers narrowed as the compiler narrows them.
inline bool narrows_to(const JsonTree& to, const JsonValue& original, const JsonTree& tr,
                       const JsonValue& result, bool promoted) {
  if (original.kind == JsonKind::Number) {
    return result.kind == JsonKind::Number &&
           same_number(narrowed_number(original, promoted), result);
  }
  if (original.kind != result.kind || original.count != result.count) return false;
  switch (original.kind) {
    case JsonKind::Null:
      return true;
    case JsonKind::Bool:
      return original.boolean == result.boolean;
    case JsonKind::String:
      return original.text == result.text;
    case JsonKind::Number:
      return false;
    case JsonKind::Array:
    case JsonKind::Object: {
      auto co = to.children(original);
      auto cr = tr.children(result);
      bool mixed = false;
      if (original.kind == JsonKind::Array && !co.empty()) {
        bool all_numbers = true;
        for (const JsonValue& item : co) all_numbers &= item.kind == JsonKind::Number;
        if (all_numbers) {
          for (const JsonValue& item : co) mixed |= number_kind(item) != number_kind(co[0]);
        }
      }
      for (size_t i = 0; i < co.size(); ++i) {
        if (co[i].key != cr[i].key || !narrows_to(to, co[i], tr, cr[i], mixed)) return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace vorn::fuzz

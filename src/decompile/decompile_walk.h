// The decompiler's checks, in one place, for every reader of images: DecompileWalk receives the
// values of an image as the payload walker (decode/walker.h) reads them, makes each check of the
// decompiler on the way in the decompiler's order, and hands the values that pass to a value
// maker, which only makes values. The JsonValue maker (decompile.cpp) and the Python object maker
// (py_loads.cpp) are the two makers that make values, and CheckingMaker (below) makes none; a
// decoded Document reaches the same walk through a small walker over its Value tree
// (decompile.cpp), so the reference chain and the fused loads share every rule.
//
// A value maker makes values and keeps those not yet in a list or dict on a stack of its own:
//   using Item                    a value made and owned, not yet on the stack or in a list
//   using List                    a list being filled, which releases what it holds if dropped
//   using Key                     a field name as its dicts take it, made once per definition
//   Key key(const FieldView&, bool only)
//                                 the key of a field's name (UTF-8 viewing the image); `only`
//                                 when the field's definition holds every field of the image,
//                                 so that no other definition can share the name
//   Item null(), boolean(b), int32(i), uint32(u)
//   Item float32(bits)            a finite float32, to be widened exactly to binary64
//   Item string(bytes, length, ascii)   an inline string (valid UTF-8; ascii: all bytes < 0x80)
//   Item dict_string(index, text) dict string `index`, the same object for every reference
//   push(Item), nulls(count)      onto the stack
//   List fixed_list(count), add(List&, Item), push(List&&)
//                                 a list of count scalars made in place, then onto the stack
//   list(count)                   the top count values become a list, which takes their place
//   dict(members, values, shape)  the top `values` values (in field order) become a dict with
//                                 one item per member, in member order; false (the maker keeps
//                                 its own error) stops the walk. `shape` is the maker's own
//                                 note for the dicts of one plan: 0 before the first of them
// Every other call either succeeds or throws (std::bad_alloc, or the maker's unrecoverable fault).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "decode/walker.h"
#include "format/codec.h"
#include "format/format.h"
#include "format/reader_refusals.h"
#include "format/result.h"
#include "format/small_vector.h"

namespace vorn {

// The definition an object value names by its self_def_index: the one at that position when
// its id equals the index (everything this system writes), else the first whose id equals it;
// nullptr when none has that id.
inline const DefView* find_definition(uint16_t index, std::span<const DefView> defs) noexcept {
  if (index < defs.size() && defs[index].id == index) [[likely]] {
    return &defs[index];
  }
  for (const DefView& def : defs) {
    if (def.id == index) return &def;
  }
  return nullptr;
}

// Whether an object value with `values` values passes the checks against the definition found
// for it (null when none was).
inline bool object_definition_fits(const DefView* def, size_t values) noexcept {
  return def != nullptr && def->has_fields && def->field_count == values;
}

// The message of the first of those checks that fails, in order, for a value that does not fit.
std::string check_object_definition(uint16_t index, const DefView* def, size_t values);

// The message for a StrRef past the end of the dict; a StrRef that is the value of an entry
// itself (depth 1) names the dict length too.
std::string str_ref_out_of_bounds(uint32_t index, size_t dict_len, uint32_t depth);

// One field per distinct name of `fields`, in ascending byte order of the names: the last field
// of that name, whose value the key keeps. For fields that are not in strictly ascending order.
std::vector<uint32_t> order_unsorted_keys(std::span<const FieldView> fields);

// Whether `a` comes before `b` in byte order (a prefix first); names are mostly short and
// differ early, so the bytes are compared in place, without a call.
inline bool bytes_less(std::string_view a, std::string_view b) noexcept {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<uint8_t>(a[i]);
    const auto y = static_cast<uint8_t>(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// Calls take(field) for the field whose value each key of an object keeps, in the order of the
// keys: ascending byte order of the names, one key per name, the last field of a name winning.
template <class Take>
void for_each_key(std::span<const FieldView> fields, Take&& take) {
  const auto n = static_cast<uint32_t>(fields.size());
  // The compiler writes the fields of a definition in key order, one per key: then every field
  // keeps its own place.
  uint32_t sorted = 1;
  while (sorted < n && bytes_less(fields[sorted - 1].name, fields[sorted].name)) ++sorted;
  if (sorted >= n) {
    for (uint32_t i = 0; i < n; ++i) take(i);
    return;
  }
  for (const uint32_t field : order_unsorted_keys(fields)) take(field);
}

// One item of a dict: its key and the field (in definition order) whose value it takes.
template <class Key>
struct PlanMember {
  Key key;
  uint32_t field;
};

// The PayloadWalker sink that makes the decompiler's checks and hands the values to `Maker`.
// `layout` gives the definitions and the dict strings; its views must outlive the walk.
template <class Maker>
class DecompileWalk {
 public:
  using Key = typename Maker::Key;

  DecompileWalk(const ImageLayout& layout, Maker& maker) : layout_(layout), maker_(maker) {
    plans_.zero_fill(layout.defs.size());  // no plan is ready
  }
  DecompileWalk(const DecompileWalk&) = delete;
  DecompileWalk& operator=(const DecompileWalk&) = delete;

  bool null_value(uint32_t) {
    maker_.push(maker_.null());
    return true;
  }
  bool null_items(uint32_t count) {
    maker_.nulls(count);
    return true;
  }
  bool bool_value(bool b) {
    maker_.push(maker_.boolean(b));
    return true;
  }
  bool int32_value(int32_t i) {
    maker_.push(maker_.int32(i));
    return true;
  }
  bool uint32_value(uint32_t u) {
    maker_.push(maker_.uint32(u));
    return true;
  }
  bool float32_value(uint32_t bits) {
    if (!finite(bits)) return false;
    maker_.push(maker_.float32(bits));
    return true;
  }
  bool string_value(const uint8_t* s, uint32_t n, bool ascii) {
    maker_.push(maker_.string(s, n, ascii));
    return true;
  }
  bool str_ref(uint32_t index, uint32_t depth) {
    const size_t dict_len = layout_.strings.size();
    if (index >= dict_len) [[unlikely]] {
      return fail(str_ref_out_of_bounds(index, dict_len, depth));
    }
    maker_.push(maker_.dict_string(index, layout_.strings[index]));
    return true;
  }

  bool end_array(uint16_t, uint16_t, uint32_t count) {
    maker_.list(count);
    return true;
  }

  // A whole array of fixed-size elements, whose bytes are all present: the items go straight
  // into their list, by the same rules as single values.
  bool fixed_array(uint16_t, uint16_t, TypeTag elem, const uint8_t* p, uint32_t count) {
    // A local reference, which the loops keep in a register.
    Maker& maker = maker_;
    typename Maker::List list = maker.fixed_list(count);
    switch (elem) {
      case TypeTag::Bool:
        for (uint32_t i = 0; i < count; ++i) maker.add(list, maker.boolean(bool_of(p[i])));
        break;
      case TypeTag::Int32:
        for (uint32_t i = 0; i < count; ++i) {
          maker.add(list, maker.int32(static_cast<int32_t>(load_u32(p + NUMBER_SIZE * size_t{i}))));
        }
        break;
      case TypeTag::UInt32:
        for (uint32_t i = 0; i < count; ++i) {
          maker.add(list, maker.uint32(load_u32(p + NUMBER_SIZE * size_t{i})));
        }
        break;
      default:
        for (uint32_t i = 0; i < count; ++i) {
          const uint32_t bits = load_u32(p + NUMBER_SIZE * size_t{i});
          if (!finite(bits)) return false;
          maker.add(list, maker.float32(bits));
        }
        break;
    }
    maker.push(std::move(list));
    return true;
  }

  // The object's own checks come before its values are read.
  bool begin_object(uint16_t index, uint32_t values) {
    if (index < plans_.size()) [[likely]] {
      const ObjectPlan& plan = plans_[index];
      if (plan.ready && plan.values == values) return true;
    }
    return make_plan(index, values);
  }

  bool end_object(uint16_t index, uint32_t values) {
    ObjectPlan& plan = plans_[index];
    return maker_.dict(std::span<const PlanMember<Key>>(members_.data() + plan.first, plan.count),
                       values, plan.shape);
  }

  bool begin_entry(uint32_t, uint16_t, uint32_t) { return true; }
  bool end_entry(uint16_t) {
    ++entries_;
    return true;
  }

  // Once every entry is walked, leaves the result alone on the maker's stack: null for no
  // entries, the value of a single one, a list of the values of several.
  void finish() {
    if (entries_ == 0) {
      maker_.push(maker_.null());
    } else if (entries_ > 1) {
      maker_.list(entries_);
    }
  }

  // The decompiler's fault that stopped the walk; empty when the maker stopped it.
  const std::string& error() const noexcept { return error_; }

 private:
  // How the values of an object with a given self_def_index become a dict: its members stand
  // at [first, first + count) of members_.
  struct ObjectPlan {
    uintptr_t shape = 0;  // the maker's note for the dicts of this plan
    uint32_t first = 0;
    uint32_t count = 0;
    uint32_t values = 0;  // the value count that passed the checks
    bool ready = false;
  };

  [[gnu::cold, gnu::noinline]] bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  // The decompiler refuses a float32 that is not finite (the writers refuse it too, by the same
  // rule and message).
  bool finite(uint32_t bits) {
    if (is_non_finite_float(bits)) [[unlikely]] {
      return fail(non_finite_float(bits).message);
    }
    return true;
  }

  // The object checks for a self_def_index met for the first time (or with another number of
  // values, which only a Document built by hand can have); on success, the plan of its dicts.
  [[gnu::noinline]] bool make_plan(uint16_t index, uint32_t values) {
    const DefView* def = find_definition(index, layout_.defs);
    if (!object_definition_fits(def, values)) {
      return fail(check_object_definition(index, def, values));
    }

    if (index >= plans_.size()) plans_.resize(size_t{index} + 1);
    const std::span<const FieldView> fields = layout_.fields_of(*def);
    if (members_.empty()) members_.reserve(layout_.fields.size());
    ObjectPlan& plan = plans_[index];
    plan.first = static_cast<uint32_t>(members_.size());
    const bool only = fields.size() == layout_.fields.size();
    for_each_key(fields, [&](uint32_t field) {
      members_.push_back(PlanMember<Key>{maker_.key(fields[field], only), field});
    });
    plan.count = static_cast<uint32_t>(members_.size()) - plan.first;
    plan.values = values;
    plan.shape = 0;
    plan.ready = true;
    return true;
  }

  const ImageLayout& layout_;
  Maker& maker_;
  SmallVector<ObjectPlan, 16> plans_;         // per self_def_index, made when first met
  SmallVector<PlanMember<Key>, 32> members_;  // the members of every plan
  uint32_t entries_ = 0;
  std::string error_;
};

// A value maker that makes nothing: a walk with it makes every check of the decoder and of the
// decompiler, and nothing else, so that an image is validated in time bounded by its bytes and
// memory bounded by its tables, however large the value it describes.
struct CheckingMaker {
  struct Item {};
  struct List {};
  struct Key {};

  Key key(const FieldView&, bool) { return {}; }
  Item null() { return {}; }
  Item boolean(bool) { return {}; }
  Item int32(int32_t) { return {}; }
  Item uint32(uint32_t) { return {}; }
  Item float32(uint32_t) { return {}; }
  Item string(const uint8_t*, uint32_t, bool) { return {}; }
  Item dict_string(uint32_t, std::string_view) { return {}; }
  void push(Item) {}
  void nulls(uint32_t) {}
  List fixed_list(uint32_t) { return {}; }
  void add(List&, Item) {}
  void push(List&&) {}
  void list(uint32_t) {}
  bool dict(std::span<const PlanMember<Key>>, uint32_t, uintptr_t&) { return true; }
};

// Walks the entries of `image`, whose `layout` read_layout has checked, through DecompileWalk
// into `maker`, making the decoder's checks and the decompiler's in one pass. The fault reported
// is the one the chain decode_document then decompile_document reports: every fault of the
// decoder, wherever it lies, comes before any fault of the decompiler. On success the maker
// holds the result alone on its stack; success is also returned when the maker stopped the walk
// and the image has no fault of the decoder (the maker then knows what went wrong).
template <class Maker>
Status decompile_walk(std::span<const uint8_t> image, const ImageLayout& layout, Maker& maker) {
  DecompileWalk<Maker> walk(layout, maker);
  PayloadWalker<DecompileWalk<Maker>> walker(layout, walk);
  if (walker.walk_entries()) {
    walk.finish();
    return {};
  }
  if (!walker.error().empty()) return FormatError{walker.error()};
  // The decompiler or the maker stopped the walk: the rest of the image is still unchecked, and
  // a fault of the decoder there comes first.
  ImageLayout whole;
  if (Status st = validate_image(image, whole); !st) return st;
  if (walk.error().empty()) return {};
  return FormatError{walk.error()};
}

}  // namespace vorn

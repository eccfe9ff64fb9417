#include "compile/image_compiler.h"

#include <bit>
#include <cstring>

#include "compile/exact.h"
#include "format/narrowing.h"

namespace vorn {

namespace {

// Appends a string of at most 16777215 bytes with its length prefix.
inline void append_string(PayloadBuffer& out, std::string_view s) {
  put_string(out.extend(string_prefix_size(s.size()) + s.size()), s);
}

}  // namespace

template <class Index, bool Exact>
ImageCompiler<Index, Exact>::ImageCompiler(const TapeT& tape, size_t expected_strings,
                                           size_t payload_estimate, BufferProvider* storage)
    : tape_(tape), strings_(expected_strings), payload_(payload_estimate, storage) {
  for (int32_t& id : array_defs_) id = NO_DEFINITION;
}

template <class Index, bool Exact>
bool ImageCompiler<Index, Exact>::walk(size_t line) {
  k_ = tape_.nodes.kinds();
  s_ = tape_.nodes.slots();
  if (shape_defs_.size() < tape_.shapes.size()) {
    shape_defs_.resize(tape_.shapes.size(), NO_DEFINITION);
  }
  const size_t at = payload_.size();
  payload_.extend(ENTRY_HEADER_SIZE);
  fault_ = PayloadFault{};
  ahead_ready_ = false;  // node numbers start again with each tape
  inexact_ = NONE;
  inexact_mixed_ = false;
  uint16_t root_def = 0;
  if (value(0, &root_def) == FAILED) {
    error_.line = line;
    return false;
  }
  const TapeKind root = k_[0];
  if (root == TapeKind::Array) {
    root_def = load_u16(payload_.data() + at + ENTRY_HEADER_SIZE);  // its self_def_index
  } else if (root != TapeKind::Object) {
    root_def = predefined_id(tape_.tag(0));
  }
  const uint64_t size = payload_.size() - at - ENTRY_HEADER_SIZE;
  put_entry_header(payload_.data() + at, root_def, size);
  if (entry_count_ == 0) {
    first_entry_ = EntrySize{size, fault_};
  } else {
    if (entry_count_ == 1) more_entries_.push_back(first_entry_);
    more_entries_.push_back(EntrySize{size, fault_});
  }
  ++entry_count_;
  if (fault_ && !faulted_) {
    faulted_ = true;
    fault_line_ = line;
  }
  if constexpr (Exact) {
    if (inexact_ != NONE && !inexact_error_) {
      inexact_error_ = CompileError{
          inexact_value(tape_path(tape_, inexact_), tape_.number_value(inexact_), inexact_mixed_),
          RefusingStep::Compiler, line};
    }
  }
  return true;
}

// The head of the image (header, definition block, dict block, the entry count), planned once
// every entry is written and then written in front of the entries, in their storage.
template <class Index, bool Exact>
Result<ImageParts, CompileError> ImageCompiler<Index, Exact>::finish() {
  const DefinitionBlock defs = defs_.block();
  const std::span<const std::string_view> strings(dict_strings_.data(), dict_strings_.size());
  const std::span<const EntrySize> entries =
      entry_count_ <= 1 ? std::span<const EntrySize>(&first_entry_, entry_count_)
                        : std::span<const EntrySize>(more_entries_);
  size_t faulty = SIZE_MAX;
  Result<ImagePlan> plan = plan_image(defs, strings, entries, &faulty);
  if (!plan) {
    return CompileError{std::move(plan.error()), RefusingStep::Encoder,
                        faulty == SIZE_MAX ? 0 : fault_line_};
  }
  if (Status readable = check_readable(defs, floats_); !readable) {
    return CompileError{readable.error(), RefusingStep::Reader, 0};
  }
  if (inexact_error_) return std::move(*inexact_error_);
  ImageParts parts;
  parts.payload = payload_.take_behind(plan->size - payload_.size());
  write_image_prefix(parts.payload.data(), *plan, defs, strings, entry_count_);
  return parts;
}

template <class Index, bool Exact>
inline void ImageCompiler<Index, Exact>::string(Index i) {
  const std::string_view s = tape_.string(i);
  ViewHash hash;
  if (strings_.table_bytes() > PREFETCH_TABLE_BYTES) [[unlikely]] {
    hash = prefetched_hash(i);
  } else {
    hash = strings_.hash(s);
  }
  auto [state, inserted] = strings_.try_emplace(s, hash, SEEN_ONCE);
  if (inserted) {
    if (string_size(s.size()) == NO_STRING_FORM) [[unlikely]] {
      note_fault(PayloadFault{PayloadFault::Kind::StringTooLong, 0});
      return;
    }
    append_string(payload_, s);
    return;
  }
  if (*state == SEEN_ONCE) {
    *state = static_cast<uint32_t>(dict_strings_.size());
    dict_strings_.push_back(s);
  }
  put_string_ref(payload_.extend(STRING_REF_SIZE), *state);
}

// The hash of string node i, taken from the ring when it was hashed ahead; then the strings up
// to PREFETCH_DISTANCE nodes further on are hashed and their slots asked for, so that the cache
// misses of a table larger than the cache overlap with the work on the nodes before them.
template <class Index, bool Exact>
ViewHash ImageCompiler<Index, Exact>::prefetched_hash(Index i) {
  if (!ahead_ready_) [[unlikely]] {
    for (Ahead& a : ahead_) a.node = NONE;
    next_ahead_ = 0;
    ahead_ready_ = true;
  }
  const Ahead& known = ahead_[i % AHEAD_RING];
  const ViewHash hash = known.node == i ? known.hash : strings_.hash(tape_.string(i));
  const size_t end = tape_.size();
  Index j = next_ahead_ > i ? next_ahead_ : i + 1;
  const size_t stop = static_cast<size_t>(i) + PREFETCH_DISTANCE < end
                          ? static_cast<size_t>(i) + PREFETCH_DISTANCE
                          : end;
  for (; j < stop; ++j) {
    if (k_[j] != TapeKind::String && k_[j] != TapeKind::OwnedString) continue;
    const ViewHash h = strings_.hash(tape_.string(j));
    ahead_[j % AHEAD_RING] = Ahead{j, h};
    strings_.prefetch(h);
  }
  next_ahead_ = j;
  return hash;
}

template <class Index, bool Exact>
inline Index ImageCompiler<Index, Exact>::value(Index i, uint16_t* elem_def) {
  switch (k_[i]) {
    case TapeKind::Null:
      *elem_def = predefined_id(TypeTag::Null);
      return i + 1;
    case TapeKind::True:
    case TapeKind::False:
      payload_.put_u8(k_[i] == TapeKind::True ? 1 : 0);
      *elem_def = predefined_id(TypeTag::Bool);
      return i + 1;
    case TapeKind::Unsigned: {
      const uint64_t n = tape_.number(i);
      payload_.put_u32(integer_bits(n));
      *elem_def = predefined_id(number_tag(NumberForm::Unsigned, n));
      if constexpr (Exact) {
        if (!integer_reads_back(NumberForm::Unsigned, n)) note_inexact(i);
      }
      return i + 1;
    }
    case TapeKind::Negative: {
      const uint64_t n = tape_.number(i);
      payload_.put_u32(integer_bits(n));
      *elem_def = predefined_id(TypeTag::Int32);
      if constexpr (Exact) {
        if (!integer_reads_back(NumberForm::Negative, n)) note_inexact(i);
      }
      return i + 1;
    }
    case TapeKind::Float: {
      const auto d = std::bit_cast<double>(tape_.number(i));
      const float f = floats_.narrow(d);
      payload_.put_u32(std::bit_cast<uint32_t>(f));
      *elem_def = predefined_id(TypeTag::Float32);
      if constexpr (Exact) {
        if (!float_reads_back(d, f)) note_inexact(i);
      }
      return i + 1;
    }
    case TapeKind::String:
    case TapeKind::OwnedString:
      string(i);
      *elem_def = predefined_id(TypeTag::String);
      return i + 1;
    case TapeKind::Array:
      return array(i, elem_def);
    case TapeKind::Object:
      return object(i, elem_def);
  }
  return FAILED;
}

template <class Index, bool Exact>
Index ImageCompiler<Index, Exact>::array(Index i, uint16_t* elem_def_out) {
  const Index n = s_[i].a;
  if (n > MAX_ARRAY_ITEMS) [[unlikely]] {
    note_fault(PayloadFault{PayloadFault::Kind::TooManyItems, static_cast<size_t>(n)});
  }
  const size_t at = payload_.size();
  payload_.extend(ARRAY_HEADER_SIZE);
  const bool had_inexact = inexact_ != NONE;
  TypeTag elem = TypeTag::Null;  // Null until the first item that is not null
  uint16_t elem_def = 0;
  bool nulls = false;
  bool promoted = false;
  bool mixed = false;
  Index j = i + 1;
  for (Index k = 0; k < n; ++k) {
    const TypeTag kind = tape_.tag(j);
    uint16_t d = 0;
    j = value(j, &d);
    if (j == FAILED) return FAILED;
    if (kind == TypeTag::Null) {
      nulls = true;
    } else if (elem == TypeTag::Null) {
      elem = kind;
      elem_def = d;
    } else if (kind != elem) {
      // Refused once the items are done: a refusal inside a later item comes first.
      if (is_number_tag(kind) && is_number_tag(elem)) {
        promoted = true;
      } else {
        mixed = true;
      }
    }
  }
  if (mixed || (nulls && elem != TypeTag::Null)) [[unlikely]] {
    return refuse_array(i);
  }
  if (promoted) [[unlikely]] {
    promote(i, at, had_inexact);
    elem = TypeTag::Float32;
    elem_def = predefined_id(TypeTag::Float32);
  }
  payload_.patch_u16(at, array_def(elem));
  payload_.patch_u16(at + 2, elem_def);
  payload_.patch_u16(at + 4, static_cast<uint16_t>(n));
  *elem_def_out = elem_def;
  return j;
}

// Rewrites the items of the array at node i, whose payload starts at `at`, all numbers of four
// bytes: its integers become the float nearest their exact value.
template <class Index, bool Exact>
void ImageCompiler<Index, Exact>::promote(Index i, size_t at, bool had_inexact) {
  uint8_t* items = payload_.data() + at + ARRAY_HEADER_SIZE;
  for (Index k = 0; k < s_[i].a; ++k) {
    const Index item = i + 1 + k;
    const TapeKind kind = k_[item];
    if (kind == TapeKind::Float) continue;
    const float f =
        integer_to_float(kind == TapeKind::Negative ? NumberForm::Negative : NumberForm::Unsigned,
                         tape_.number(item));
    put_u32(items + NUMBER_SIZE * k, std::bit_cast<uint32_t>(f));
  }
  if constexpr (Exact) {
    if (!had_inexact) note_inexact_items(i);
  }
}

// In an array of mixed numbers every integer reads back as a float: the first changed item is
// the first integer or the first float that float32 does not hold, whichever comes first.
template <class Index, bool Exact>
void ImageCompiler<Index, Exact>::note_inexact_items(Index i) {
  inexact_ = NONE;
  for (Index item = i + 1; item < s_[i].b; ++item) {
    const bool changed =
        k_[item] != TapeKind::Float || !float_reads_back(std::bit_cast<double>(tape_.number(item)));
    if (changed) {
      inexact_ = item;
      inexact_mixed_ = true;
      return;
    }
  }
}

// The refusal of an array whose items cannot share its element kind, as check_array words it:
// the first item whose kind differs from that of the first item that is not null, numbers of
// different kinds aside.
template <class Index, bool Exact>
Index ImageCompiler<Index, Exact>::refuse_array(Index i) {
  const Index n = s_[i].a;
  TypeTag elem = TypeTag::Null;
  for (Index k = 0, j = i + 1; k < n && elem == TypeTag::Null; ++k, j = tape_.next(j)) {
    elem = tape_.tag(j);
  }
  for (Index k = 0, j = i + 1; k < n; ++k, j = tape_.next(j)) {
    const TypeTag found = tape_.tag(j);
    if (found == elem || (is_number_tag(found) && is_number_tag(elem))) continue;
    error_ = CompileError{array_item_mismatch(k, found, elem), RefusingStep::Compiler, 0};
    return FAILED;
  }
  error_ = CompileError{FormatError{"mixed array without a mismatch"}, RefusingStep::Compiler, 0};
  return FAILED;  // not reached: the walk found a mismatch
}

template <class Index, bool Exact>
Index ImageCompiler<Index, Exact>::object(Index i, uint16_t* self_def) {
  const Index shape_id = s_[i].a;
  const Shape<Index>& shape = tape_.shapes[shape_id];
  const size_t at = payload_.size();
  payload_.extend(OBJECT_HEADER_SIZE);
  uint16_t ignored = 0;
  if (shape.perm == NONE) {
    Index k = i + 1;
    for (Index m = 0; m < shape.unique; ++m) {
      k = value(k, &ignored);
      if (k == FAILED) return FAILED;
    }
  } else {
    // Members in key order: their positions in text order first, found by skipping from one to
    // the next, then visited through the shape's permutation.
    const size_t base = positions_.size();
    positions_.resize(base + shape.count);
    Index* at_member = positions_.data() + base;
    Index k = i + 1;
    for (Index m = 0; m < shape.count; ++m) {
      at_member[m] = k;
      k = tape_.next(k);
    }
    const Index* perm = tape_.perms.data() + shape.perm;
    for (Index m = 0; m < shape.unique; ++m) {
      // positions_ may move while a member is walked: read it afresh each time
      if (value(positions_[base + perm[m]], &ignored) == FAILED) return FAILED;
    }
    positions_.resize(base);
  }
  int32_t id = shape_defs_[shape_id];
  if (id == NO_DEFINITION) {
    id = object_def(shape);
    shape_defs_[shape_id] = id;
  }
  payload_.patch_u16(at, static_cast<uint16_t>(id));
  *self_def = static_cast<uint16_t>(id);
  return s_[i].b;
}

// The definition of an object layout, found by its lookup key or created, laid out as the
// image holds it and checked as the encoder and the decoder check it. Members in key order come
// from the layout itself.
template <class Index, bool Exact>
uint16_t ImageCompiler<Index, Exact>::object_def(const Shape<Index>& shape) {
  const ShapeMember* members = tape_.shape_members.data() + shape.members;
  const Index* perm = shape.perm == NONE ? nullptr : tape_.perms.data() + shape.perm;
  auto member = [&](Index m) -> const ShapeMember& {
    return members[perm == nullptr ? m : perm[m]];
  };
  signature_.clear();
  for (Index m = 0; m < shape.unique; ++m) {
    append_signature_member(signature_, member(m).key, member(m).kind);
  }
  const std::string_view sig(signature_.data(), signature_.size());
  if (few_objects_.size() < LINEAR_OBJECTS) {
    // While there are few object definitions, each key is compared in turn.
    for (const KnownObject& known : few_objects_) {
      if (bytes_equal(known.key, sig)) return known.id;
    }
    few_objects_.push_back(KnownObject{key_bytes_.copy(sig), defs_.next_id()});
    if (few_objects_.size() == LINEAR_OBJECTS) {
      // From now on every key is looked up by its hash.
      for (const KnownObject& known : few_objects_) {
        objects_.try_emplace(known.key, known.id);
      }
    }
  } else {
    // One probe finds the definition or records the new one; a found key's copy is left unused
    // (at most once per layout of the text).
    auto [found, inserted] = objects_.try_emplace(key_bytes_.copy(sig), defs_.next_id());
    if (!inserted) return *found;
  }
  const size_t count = shape.unique;
  // The lookup key holds 5 bytes per member besides the name, a field entry 2.
  uint16_t id;
  uint8_t* p = defs_.add_object(count, sig.size() - 3 * count, id);
  if (p == nullptr) [[unlikely]]
    return id;
  for (Index m = 0; m < shape.unique; ++m) {
    const ShapeMember& sm = member(m);
    if (sm.key.size() > MAX_FIELD_NAME_LEN) [[unlikely]] {
      // A block with a fault is never written; only its count still matters.
      defs_.note_fault(DefinitionFault{DefinitionFault::Kind::NameTooLong, id, 0});
    }
    *p++ = static_cast<uint8_t>(sm.key.size());
    copy_bytes(p, sm.key.data(), sm.key.size());
    p += sm.key.size();
    *p++ = static_cast<uint8_t>(sm.kind);
  }
  return id;
}

template <class Index, bool Exact>
uint16_t ImageCompiler<Index, Exact>::add_array_def(TypeTag elem) {
  const uint16_t id = defs_.add_array(elem);
  array_defs_[static_cast<uint8_t>(elem)] = id;
  return id;
}

template class ImageCompiler<uint32_t, false>;
template class ImageCompiler<uint32_t, true>;
template class ImageCompiler<uint64_t, false>;
template class ImageCompiler<uint64_t, true>;

}  // namespace vorn

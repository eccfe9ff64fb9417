// The emit builder: takes a value as a stream of items in reading order (depth first, items in
// order) and builds, in the same pass, the payload of the single entry, the definitions of the
// positional scheme and the string dictionary. Free of Python.
//
// Arrays share a definition when their element kinds agree, objects when the kinds of all their
// items agree; an object's fields are named "f0", "f1", ... by position. An array takes its id
// before anything inside it, an object only after everything inside it. Every distinct string is
// listed in the dictionary in first-seen order, while the payload holds every string inline.
//
// The payload is written as the items arrive; a container's definition ids (and an array's
// count) are written back into its header once they are known. Nothing read before is visited
// again, except the Int32 items of an array that turns out to hold numbers of both kinds.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encode/definition_layout.h"
#include "encode/image_writer.h"
#include "format/byte_buffer.h"
#include "format/bytes.h"
#include "format/codec.h"
#include "format/format.h"
#include "format/probe_table.h"
#include "format/result.h"
#include "format/small_vector.h"

namespace vorn {

// put_u32 as one plain store where the machine is little-endian: the byte-by-byte form is not
// always folded into one in the loops of numbers, where it costs a dozen instructions a number.
inline uint8_t* store_u32(uint8_t* p, uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
    return p + sizeof v;
  } else {
    return put_u32(p, v);
  }
}

// No entry, in the tables below.
inline constexpr uint32_t NO_ENTRY = UINT32_MAX;

// The dictionary of an emit call: every distinct string in first-seen order, as views whose
// bytes the caller keeps alive, unchanged, for the whole call. Strings are found by their hash:
// one the caller supplies, which must be equal for equal bytes and is keyed again with the
// table's key (until the table draws a new key, after which it hashes every string itself), or
// hash_bytes, worked out only when needed; one dictionary takes one kind. Bytes at the address
// of a dictionary string's bytes, while the string is alive, can only be that string: a small
// table of those addresses settles the string met again in the same storage (dict keys, mostly,
// which repeat as the same object) without hashing it. An address is noted there when its
// string is met in it a second time, so that the many strings met once each (the values of a
// large document) neither cost a note nor push the keys out. The tables start small, inside the
// object, and grow with the dictionary.
class StringDictionary {
 public:
  StringDictionary() { reset_seen(); }

  // Whether `s` is new to the dictionary, which then lists it at the end; `hash` is the
  // caller's.
  bool add(std::string_view s, uint64_t hash) {
    if (seen(s)) return false;
    return intern(
        s, table_.rekeys() == 0 ? rekey_hash(hash, table_.key()) : hash_bytes(s, table_.key()));
  }
  // The same with hash_bytes as the hash. A string met again in its own storage costs a look at
  // the address table alone; the rest is out of line.
  bool add(std::string_view s) {
    if (seen(s)) return false;
    return intern_unseen(s);
  }
  const SmallVector<std::string_view, 16>& strings() const noexcept { return strings_; }
  // Slots probed so far, and re-keyings made.
  uint64_t probes() const noexcept { return table_.probes(); }
  uint32_t rekeys() const noexcept { return table_.rekeys(); }

 private:
  struct Slot {
    uint32_t tag;    // the low half of the hash, which also places the slot
    uint32_t entry;  // the string's position plus one; 0 for an empty slot
    bool used() const noexcept { return entry != 0; }
  };
  // The address table stops growing here: it is a cache, and the strings that repeat in their
  // own storage are mostly a document's few keys.
  static constexpr size_t MAX_SEEN = 1024;

  // The place of an address in the address table, which notes the addresses of the dictionary
  // strings' bytes (null in an empty place).
  const char*& seen_slot(const char* data) noexcept {
    const auto at = reinterpret_cast<uintptr_t>(data);
    return seen_[(at * 0x9E3779B97F4A7C15ull) >> seen_shift_];
  }
  bool seen(std::string_view s) noexcept {
    const char* noted = seen_slot(s.data());
    return noted == s.data() && noted != nullptr;
  }

  [[gnu::noinline]] bool intern_unseen(std::string_view s) {
    return intern(s, hash_bytes(s, table_.key()));
  }
  [[gnu::noinline]] bool intern(std::string_view s, uint64_t hash);
  void reset_seen();

  SmallVector<std::string_view, 16> strings_;
  // The tables of up to INLINE_SLOTS / 2 strings stay in the object; past that the slots grow
  // eight, then four times at a time while few, so that a dictionary of a few hundred strings
  // is built through one growth and a large one not through many doublings.
  static constexpr size_t INLINE_SLOTS = 32;
  ProbeTable<Slot, INLINE_SLOTS, 50, 0> table_;
  SmallVector<const char*, INLINE_SLOTS> seen_;
  size_t seen_for_bytes_ = 0;  // the slot table's size the address table was made for
  unsigned seen_shift_ = 64;
};

// The kind of an item, as it matters for definitions; also the index of the item's transition
// in the layout trie below.
enum class ItemKind : uint8_t { Bool, Int32, Float32, String, Array, Object };
inline constexpr size_t ITEM_KINDS = 6;

// A switch rather than a table: it folds into the tests made of its result (is_number_tag), so
// that those cost no more than a test of the kind itself.
constexpr TypeTag tag_of(ItemKind kind) noexcept {
  switch (kind) {
    case ItemKind::Bool:
      return TypeTag::Bool;
    case ItemKind::Int32:
      return TypeTag::Int32;
    case ItemKind::Float32:
      return TypeTag::Float32;
    case ItemKind::String:
      return TypeTag::String;
    case ItemKind::Array:
      return TypeTag::Array;
    case ItemKind::Object:
      return TypeTag::Object;
  }
  return TypeTag::Null;
}

// The state of one emit call. The caller hands over one value: a scalar, or a container opened
// with begin_*, its items, and end_*; containers nest. Strings' bytes must stay alive and
// unchanged until the image is written.
class EmitBuilder {
 public:
  // The payload goes into storage from `provider`.
  explicit EmitBuilder(BufferProvider& provider);
  // The payload goes into a buffer of its own.
  EmitBuilder();

  void add_bool(bool value) {
    note_item(ItemKind::Bool);
    payload_.put_u8(value ? 1 : 0);
  }
  // `bits` are the low 32 bits of the integer. In an array that holds floats as well it is
  // written as the nearest Float32.
  void add_int32(uint32_t bits) {
    note_item(ItemKind::Int32);
    if (top_.ints_as_floats) bits = int_as_float_bits(bits);
    store_u32(payload_.extend(NUMBER_SIZE), bits);
  }
  void add_float32(float value) {
    note_item(ItemKind::Float32);
    const auto bits = std::bit_cast<uint32_t>(value);
    floats_.note(bits);
    payload_.put_u32(bits);
  }
  // A double, narrowed to the nearest Float32 (narrow_to_float). Cheaper than narrowing first
  // and calling add_float32, which must test the float for the non-finite values on its own.
  void add_double(double value) {
    note_item(ItemKind::Float32);
    store_u32(payload_.extend(NUMBER_SIZE), float_bits(value));
  }
  // Returns whether the text is new to the dictionary, which then views the caller's bytes.
  bool add_string(std::string_view text, uint64_t hash) {
    note_item(ItemKind::String);
    const bool added = dictionary_.add(text, hash);
    put_payload_string(text);
    return added;
  }
  // The same with the dictionary's own hash, worked out only for a string not met before in the
  // same storage.
  [[gnu::always_inline]] bool add_string(std::string_view text) {
    note_item(ItemKind::String);
    const bool added = dictionary_.add(text);
    put_payload_string(text);
    return added;
  }

  // An array of `count` numbers, count above zero, as one item: returns where its items go, four
  // bytes each, which the caller writes before it hands over anything else. `elem` is Int32
  // (every item an Int32, as add_int32 writes it) or Float32 (the floats as float_bits gives
  // them, and integers, if any, as int_as_float_bits gives them). The payload and the
  // definitions are those of begin_array, the items one by one, and end_array.
  uint8_t* add_number_array(size_t count, ItemKind elem);
  // The item of a double in add_number_array's storage.
  uint32_t float_bits(double value) noexcept {
    return std::bit_cast<uint32_t>(floats_.narrow(value));
  }
  // The item of an integer's low 32 bits in an array that holds floats as well.
  static uint32_t int_as_float_bits(uint32_t bits) noexcept {
    return std::bit_cast<uint32_t>(static_cast<float>(static_cast<int32_t>(bits)));
  }

  void begin_array();
  void end_array();
  void begin_object();
  void end_object();

  // After the value: the first array, in the order in which arrays end, whose items do not all
  // have the kind of its first item ("Array item {index} is {found} but elem_type is
  // {expected}"), numbers of both kinds and nothing else aside; such an array holds Float32.
  const std::optional<FormatError>& mismatch() const noexcept { return mismatch_; }

  // The definition table, laid out after its u16 count as the image holds it, the
  // predefined definitions first; it views the builder. An object definition with more fields
  // than a u16 counts is its fault, and its fields are then not laid out.
  DefinitionBlock definitions() const noexcept { return defs_.block(); }
  std::span<const std::string_view> strings() const noexcept {
    const auto& strings = dictionary_.strings();
    return {strings.data(), strings.size()};
  }
  ByteBuffer& payload() noexcept { return payload_; }
  const ByteBuffer& payload() const noexcept { return payload_; }
  // The entry's definition index: the root container's id, or the predefined definition of a
  // scalar root's kind.
  uint16_t root_definition() const noexcept { return root_definition_; }
  // The payload's first fault: the first array, in payload order, with more items than a u16
  // holds. (Strings that no form holds are refused in the dictionary first.)
  PayloadFault payload_fault() const noexcept {
    if (oversized_count_ == 0) return {};
    return PayloadFault{PayloadFault::Kind::TooManyItems, oversized_count_};
  }
  // The first non-finite float of the payload.
  FirstNonFinite non_finite() const noexcept { return floats_; }
  // Slots probed so far in the dictionary and the layout table together, and the re-keyings
  // they made.
  uint64_t table_probes() const noexcept { return dictionary_.probes() + layout_slots_.probes(); }
  uint32_t table_rekeys() const noexcept { return dictionary_.rekeys() + layout_slots_.rekeys(); }

 private:
  enum class FrameType : uint8_t { Root, Array, Object };
  // An open container, or the root before the value arrives.
  struct Frame {
    FrameType type = FrameType::Root;
    ItemKind first = ItemKind::Bool;     // arrays: the kind of the first item
    ItemKind odd_kind = ItemKind::Bool;  // arrays: the kind of the item at odd_index
    bool has_id = false;                 // arrays: the definition is known from the first item
    bool ints_as_floats = false;         // arrays: numbers of both kinds have been met
    size_t kinds_at = 0;                 // objects: where their item kinds start in kinds_
    size_t header_at = 0;                // where the container's payload starts
    size_t count = 0;                    // arrays: the items so far
    size_t odd_index = SIZE_MAX;         // arrays: the first item not of the element kind
  };
  // An object layout that has a definition: its item kinds at [at, at + count) of
  // layout_kinds_.
  struct Layout {
    size_t at = 0;
    size_t count = 0;
    uint16_t def = 0;
  };
  struct LayoutSlot {
    uint32_t tag;    // the low half of the layout's hash, which also places the slot
    uint32_t entry;  // the layout's position in layouts_ plus one; 0 for an empty slot
    bool used() const noexcept { return entry != 0; }
  };

  // Notes the kind of an item that starts now, for the container around it; an array whose
  // first item this is takes its definition now, unless that item is a number.
  void note_item(ItemKind kind) {
    Frame& f = top_;
    if (f.type == FrameType::Object) {
      kinds_.push_back(kind);
      return;
    }
    if (f.type == FrameType::Array) {
      if (f.count == 0) {
        f.first = kind;
        if (!is_number_tag(tag_of(kind))) {
          set_array_definition(f.header_at, tag_of(kind));
          f.has_id = true;
        }
      } else if (kind != f.first) {
        note_odd_item(kind);
      }
      ++f.count;
      return;
    }
    root_definition_ = predefined_id(tag_of(kind));
  }
  void note_odd_item(ItemKind kind);
  // Notes an array of more items than its count holds, if it is the first in payload order.
  void note_array_count(size_t header_at, size_t count) noexcept {
    if (count > MAX_ARRAY_ITEMS && header_at < oversized_at_) [[unlikely]] {
      oversized_at_ = header_at;
      oversized_count_ = count;
    }
  }
  // A text that no form holds is left out of the payload: the same text in the dictionary makes
  // the image fail before the payload is looked at.
  void put_payload_string(std::string_view text) {
    const size_t n = text.size();
    if (n <= MAX_SHORT_STRING_LEN) [[likely]] {
      uint8_t* p = put_string_prefix(payload_.extend(SHORT_PREFIX_SIZE + n), n);
      copy_short(p, text.data(), n);
      return;
    }
    put_long_payload_string(text);
  }
  [[gnu::noinline]] void put_long_payload_string(std::string_view text) {
    const uint64_t size = string_size(text.size());
    if (size != NO_STRING_FORM) put_string(payload_.extend(size), text);
  }
  // Copies n bytes, n below 128; up to 32 of them by overlapping moves inside both ranges.
  static void copy_short(uint8_t* dst, const char* src, size_t n) noexcept {
    if (n > 16 && n <= 32) {
      uint8_t a[16];
      uint8_t b[16];
      std::memcpy(a, src, 16);
      std::memcpy(b, src + n - 16, 16);
      std::memcpy(dst, a, 16);
      std::memcpy(dst + n - 16, b, 16);
      return;
    }
    copy_bytes(dst, src, n);
  }
  uint16_t set_array_definition(size_t header_at, TypeTag elem) {
    const uint32_t known = array_defs_[static_cast<size_t>(kind_char(elem) - '0')];
    const uint16_t id =
        known != NO_ENTRY ? static_cast<uint16_t>(known) : new_array_definition(elem);
    // The elem_def_index is the array's own definition too.
    put_u16(put_u16(payload_.data() + header_at, id), id);
    return id;
  }
  uint16_t new_array_definition(TypeTag elem);
  // The id of the object definition of the layout `kinds`, made when new.
  uint16_t object_definition(const ItemKind* kinds, size_t count);
  uint16_t new_object_definition(const ItemKind* kinds, size_t count);
  std::string_view layout_key(const Layout& layout) const noexcept {
    return {reinterpret_cast<const char*>(layout_kinds_.data() + layout.at), layout.count};
  }
  // The bytes of the field entries of an object definition of `count` fields.
  static size_t field_block_size(size_t count) noexcept;
  void set_mismatch(size_t item, ItemKind found, ItemKind expected);
  void push(const Frame& f) {
    stack_.push_back(top_);
    top_ = f;
  }
  void closed(uint16_t id) {
    top_ = stack_.back();
    stack_.pop_back();
    if (top_.type == FrameType::Root) root_definition_ = id;
  }

  void init();

  // Definitions in the image's layout, each written when it is made.
  DefinitionLayout<SmallVector<uint8_t, 256>> defs_;
  FirstNonFinite floats_;
  StringDictionary dictionary_;
  ByteBuffer payload_;
  Frame top_;                     // the innermost open container
  SmallVector<Frame, 16> stack_;  // the containers around it, the root frame at the bottom
  // The array definition per element kind character ("arr:0:{elem}" is the key text, so the
  // element kind alone tells array definitions apart), NONE where there is none yet.
  std::array<uint32_t, 8> array_defs_;
  // The kinds of the items of every open object, innermost last.
  SmallVector<ItemKind, 256> kinds_;
  // Object definitions by the kinds of their items: two objects share a definition exactly when
  // their kinds are the same. Each layout's kinds are kept in layout_kinds_; the slots find a
  // layout by the hash of its kinds.
  SmallVector<Layout, 16> layouts_;
  SmallVector<ItemKind, 256> layout_kinds_;
  ProbeTable<LayoutSlot, 16, 50> layout_slots_;
  // The index in layouts_ of the layout last met, per item count and depth (mixed, modulo the
  // size), NO_ENTRY where none is.
  std::array<uint32_t, 64> recent_layouts_;
  uint16_t root_definition_ = 0;
  std::optional<FormatError> mismatch_;
  size_t oversized_at_ = SIZE_MAX;  // header of the first oversized array in the payload
  size_t oversized_count_ = 0;
};

}  // namespace vorn

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
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encode/image_writer.h"
#include "format/byte_buffer.h"
#include "format/bytes.h"
#include "format/format.h"
#include "format/result.h"

namespace vorn {

// No entry, in the tables below.
inline constexpr uint32_t NO_ENTRY = UINT32_MAX;

// The dictionary of an emit call: every distinct string in first-seen order, as views whose
// bytes the caller keeps alive for the whole call. Strings are found by a hash the caller
// supplies, which must be equal for equal bytes. A slot keeps the address of its string's bytes:
// bytes at that very address, while the string is alive, can only be that string, so meeting
// the same storage again is settled within the slot.
class StringDictionary {
 public:
  // The position of `s`, added at the end when new; `added` tells which.
  uint32_t intern(std::string_view s, uint64_t hash, bool& added) {
    if ((strings_.size() + 1) * 2 > slots_.size()) grow();
    const auto tag = static_cast<uint32_t>(hash);
    for (size_t i = tag & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.data == s.data() && slot.entry != NO_ENTRY) {
        added = false;
        return slot.entry;
      }
      if (slot.entry == NO_ENTRY) {
        slot = Slot{tag, static_cast<uint32_t>(strings_.size()), s.data()};
        strings_.push_back(s);
        added = true;
        return slot.entry;
      }
      if (slot.tag == tag) {
        const std::string_view known = strings_[slot.entry];
        if (bytes_equal(known, s)) {
          added = false;
          return slot.entry;
        }
      }
    }
  }
  // Whether `s` was known already; when not, it is added at the end. Strings met again in the
  // very storage that the dictionary views (dict keys, mostly, which repeat as the same object)
  // are recognised in a small table by address alone.
  bool add(std::string_view s, uint64_t hash) {
    const auto at = reinterpret_cast<uintptr_t>(s.data());
    const char*& seen = seen_[(at >> 4 ^ at >> 12) % seen_.size()];
    if (seen == s.data()) return false;
    bool added = false;
    const uint32_t entry = intern(s, hash, added);
    if (strings_[entry].data() == s.data()) seen = s.data();
    return added;
  }
  const std::vector<std::string_view>& strings() const noexcept { return strings_; }

 private:
  struct Slot {
    uint32_t tag = 0;  // the low half of the hash, which also places the slot
    uint32_t entry = NO_ENTRY;
    const char* data = nullptr;
  };
  void grow();

  std::vector<std::string_view> strings_;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  std::array<const char*, 512> seen_{};  // addresses of dictionary strings' bytes, by address
};

// The kind of an item, as it matters for definitions; also the index of the item's transition
// in the layout trie below.
enum class ItemKind : uint8_t { Bool, Int32, Float32, String, Array, Object };
inline constexpr size_t ITEM_KINDS = 6;

constexpr TypeTag tag_of(ItemKind kind) noexcept {
  constexpr TypeTag TAGS[ITEM_KINDS] = {TypeTag::Bool,   TypeTag::Int32, TypeTag::Float32,
                                        TypeTag::String, TypeTag::Array, TypeTag::Object};
  return TAGS[static_cast<size_t>(kind)];
}
constexpr bool is_number(ItemKind kind) noexcept {
  return kind == ItemKind::Int32 || kind == ItemKind::Float32;
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
    if (top_.ints_as_floats) {
      bits = std::bit_cast<uint32_t>(static_cast<float>(static_cast<int32_t>(bits)));
    }
    payload_.put_u32(bits);
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
    payload_.put_u32(std::bit_cast<uint32_t>(floats_.narrow(value)));
  }
  // Returns whether the text is new to the dictionary, which then views the caller's bytes.
  bool add_string(std::string_view text, uint64_t hash) {
    note_item(ItemKind::String);
    const bool added = dictionary_.add(text, hash);
    // A text that no form holds is left out of the payload: the same text in the dictionary
    // makes the image fail before the payload is looked at.
    const uint64_t size = string_size(text.size());
    if (size != NO_STRING_FORM) put_string(payload_.extend(size), text);
    return added;
  }

  void begin_array();
  void end_array();
  void begin_object();
  void end_object();

  // After the value: the first array, in the order in which arrays end, whose items do not all
  // have the kind of its first item ("Array item {index} is {found} but elem_type is
  // {expected}"), numbers of both kinds and nothing else aside; such an array holds Float32.
  const std::optional<FormatError>& mismatch() const noexcept { return mismatch_; }

  // The definition table, laid out after its u16 count as the image holds it, the six
  // predefined definitions first; it views the builder. An object definition with more fields
  // than a u16 counts is its fault, and its fields are then not laid out.
  DefinitionBlock definitions() const noexcept {
    DefinitionBlock block;
    block.count = def_count_;
    block.size = defs_.size();
    block.fault = fault_;
    block.wide_id = wide_id_;
    block.wide_fields = wide_fields_;
    block.laid_out = std::span<const uint8_t>(defs_.data(), defs_.size());
    return block;
  }
  const std::vector<std::string_view>& strings() const noexcept { return dictionary_.strings(); }
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

 private:
  enum class FrameType : uint8_t { Root, Array, Object };
  // An open container, or the root before the value arrives.
  struct Frame {
    FrameType type = FrameType::Root;
    ItemKind first = ItemKind::Bool;     // arrays: the kind of the first item
    ItemKind odd_kind = ItemKind::Bool;  // arrays: the kind of the item at odd_index
    bool has_id = false;                 // arrays: the definition is known from the first item
    bool ints_as_floats = false;         // arrays: numbers of both kinds have been met
    uint32_t node = 0;                   // objects: the trie node of the items so far
    size_t header_at = 0;                // where the container's payload starts
    size_t count = 0;                    // arrays: the items so far
    size_t odd_index = SIZE_MAX;         // arrays: the first item not of the element kind
  };
  // A node of the trie of object layouts: the path from the root gives the kinds of an object's
  // items, in order. Node 0 is the root (no items); no node points back to it, so 0 in `next`
  // means no transition yet.
  struct Node {
    std::array<uint32_t, ITEM_KINDS> next{};
    uint32_t parent = 0;
    uint16_t def = 0;  // the id of the object definition of this layout, once it has one
    ItemKind kind = ItemKind::Bool;  // the kind of the last item on the path
    bool has_def = false;
  };

  // Notes the kind of an item that starts now, for the container around it; an array whose
  // first item this is takes its definition now, unless that item is a number.
  void note_item(ItemKind kind) {
    Frame& f = top_;
    if (f.type == FrameType::Object) {
      uint32_t next = nodes_[f.node].next[static_cast<size_t>(kind)];
      if (next == 0) next = add_node(f.node, kind);
      f.node = next;
      return;
    }
    if (f.type == FrameType::Array) {
      if (f.count == 0) {
        f.first = kind;
        if (!is_number(kind)) {
          set_array_definition(f.header_at, tag_of(kind));
          f.has_id = true;
        }
      } else if (kind != f.first) {
        note_odd_item(kind);
      }
      ++f.count;
      return;
    }
    root_definition_ = static_cast<uint16_t>(tag_of(kind));
  }
  void note_odd_item(ItemKind kind);
  uint32_t add_node(uint32_t parent, ItemKind kind);
  uint16_t set_array_definition(size_t header_at, TypeTag elem) {
    const uint32_t known = array_defs_[static_cast<size_t>(kind_char(elem) - '0')];
    const uint16_t id =
        known != NO_ENTRY ? static_cast<uint16_t>(known) : new_array_definition(elem);
    uint8_t* p = payload_.data() + header_at;
    p[0] = p[2] = static_cast<uint8_t>(id);  // elem_def_index: the array's own definition
    p[1] = p[3] = static_cast<uint8_t>(id >> 8);
    return id;
  }
  uint16_t new_array_definition(TypeTag elem);
  uint16_t new_object_definition(uint32_t node);
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

  uint16_t take_id() {
    ++def_count_;
    return next_id_++;
  }

  void init();

  ByteBuffer defs_;  // definitions in the image's layout, each written when it is made
  size_t def_count_ = 6;
  DefinitionFault fault_;  // the first object definition of more than 65535 fields
  uint16_t wide_id_ = 0;   // the first of more than MAX_OBJECT_FIELDS fields, if wide_fields_
  size_t wide_fields_ = 0;
  FirstNonFinite floats_;
  StringDictionary dictionary_;
  ByteBuffer payload_;
  Frame top_;                 // the innermost open container
  std::vector<Frame> stack_;  // the containers around it, the root frame at the bottom
  // The array definition per element kind character ("arr:0:{elem}" is the key text, so the
  // element kind alone tells array definitions apart), NONE where there is none yet.
  std::array<uint32_t, 8> array_defs_;
  // Object definitions by the kinds of their items: two objects share a definition exactly when
  // they end on the same node.
  std::vector<Node> nodes_;
  std::vector<ItemKind> path_;  // the kinds of a new object definition's items
  uint16_t next_id_ = 6;        // wraps after 65535; an image of that many definitions is refused
  uint16_t root_definition_ = 0;
  std::optional<FormatError> mismatch_;
  size_t oversized_at_ = SIZE_MAX;  // header of the first oversized array in the payload
  size_t oversized_count_ = 0;
};

}  // namespace vorn

// The tape: the compact form of a JSON text that the fused compiler walks. Per value one kind
// byte and one slot of two positions, in pre-order and text order; strings as positions in the
// text; object layouts ("shapes") recognised once while reading, so that a walk neither sorts
// members nor rebuilds lookup keys for a layout it has seen. Positions are `Index`: 32 bits for
// texts below 4 GiB (a slot is then 8 bytes), 64 bits for larger ones. Free of Python.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compile/json_parser.h"
#include "format/format.h"
#include "format/huge_pages.h"
#include "format/narrowing.h"
#include "format/probe_table.h"
#include "format/result.h"
#include "format/small_vector.h"

namespace vorn {

enum class TapeKind : uint8_t {
  Null,
  True,
  False,
  Unsigned,
  Negative,
  Float,
  String,       // bytes of the text
  OwnedString,  // bytes unescaped into Tape::owned
  Array,
  Object
};

// The slot of one value:
//   numbers       the u64, i64 or double bits: the whole slot when Index is 32 bits, `a`
//                 otherwise
//   String        a: offset of the bytes from the text's start, b: byte length
//   OwnedString   a: position in Tape::owned, b: byte length
//   Array         a: items, b: the index past its last node
//   Object        a: its shape, b: the index past its last node
// A container is followed by its contents in text order; an object's keys live in its shape, so
// its members are just their values' nodes.
template <class Index>
struct TapeSlot {
  Index a;
  Index b;
};

// The members of an object in text order: their keys and the kinds of their values.
struct ShapeMember {
  std::string_view key;
  TypeTag kind;
};

template <class Index>
struct Shape {
  Index members;  // position of its text-order members in Tape::shape_members
  Index count;    // members in text order
  Index perm;     // position in Tape::perms of the text ordinals in key order, or none
  Index unique;   // members once duplicate keys are dropped (the last one wins)
};

// The nodes of a tape: the slots and the kinds in two arrays of one length, held in one block,
// the kinds after the slots. The block of a small text lies inside the object; a larger one is
// on malloc and grows by realloc, which remaps the pages of a large block, never holding the old
// and the new block at once; untouched capacity costs address space, not memory. Allocation
// failure throws std::bad_alloc. Neither copyable nor movable: it may point into itself.
template <class Index>
class TapeNodes {
 public:
  TapeNodes() noexcept = default;
  TapeNodes(const TapeNodes&) = delete;
  TapeNodes& operator=(const TapeNodes&) = delete;
  ~TapeNodes() { free_block(); }

  const TapeKind* kinds() const noexcept { return kinds_; }
  const TapeSlot<Index>* slots() const noexcept { return slots_; }
  TapeSlot<Index>& slot(size_t i) noexcept { return slots_[i]; }
  size_t size() const noexcept { return size_; }

  void reserve(size_t n) {
    if (n > cap_) grow_to(n);
  }
  void push(TapeKind k, Index a, Index b) {
    if (size_ == cap_) [[unlikely]] {
      grow_to(cap_ * 2);
    }
    kinds_[size_] = k;
    slots_[size_] = TapeSlot<Index>{a, b};
    ++size_;
  }
  // A number: its 64 bits fill the slot of a 32-bit tape (see Tape::number).
  void push_number(TapeKind k, uint64_t bits) {
    if (size_ == cap_) [[unlikely]] {
      grow_to(cap_ * 2);
    }
    kinds_[size_] = k;
    if constexpr (sizeof(Index) == 8) {
      slots_[size_] = TapeSlot<Index>{bits, 0};
    } else {
      std::memcpy(&slots_[size_], &bits, sizeof bits);
    }
    ++size_;
  }
  void clear() noexcept { size_ = 0; }
  // Gives heap storage back.
  void release() noexcept {
    free_block();
    slots_ = inline_slots();
    kinds_ = inline_kinds();
    size_ = 0;
    cap_ = INLINE_NODES;
  }

 private:
  static constexpr size_t NODE_BYTES = sizeof(TapeSlot<Index>) + sizeof(TapeKind);
  // Nodes inside the object: a text of a few hundred bytes needs no block of its own.
  static constexpr size_t INLINE_NODES = 64;

  TapeSlot<Index>* inline_slots() noexcept { return reinterpret_cast<TapeSlot<Index>*>(inline_); }
  TapeKind* inline_kinds() noexcept {
    return reinterpret_cast<TapeKind*>(inline_ + INLINE_NODES * sizeof(TapeSlot<Index>));
  }
  void free_block() noexcept {
    if (slots_ != inline_slots()) std::free(slots_);
  }

  [[gnu::noinline]] void grow_to(size_t n) {
    if (n < cap_ * 2) n = cap_ * 2;
    if (n > SIZE_MAX / NODE_BYTES) throw std::bad_alloc();
    const bool was_inline = slots_ == inline_slots();
    void* block = was_inline ? std::malloc(n * NODE_BYTES) : std::realloc(slots_, n * NODE_BYTES);
    if (block == nullptr) throw std::bad_alloc();
    advise_huge_pages(block, n * NODE_BYTES, HUGE_PAGES_FOR_STREAM);
    auto* slots = static_cast<TapeSlot<Index>*>(block);
    auto* kinds = reinterpret_cast<TapeKind*>(slots + n);
    if (was_inline) {
      if (size_ != 0) {
        std::memcpy(static_cast<void*>(slots), inline_slots(), size_ * sizeof(TapeSlot<Index>));
        std::memcpy(kinds, inline_kinds(), size_);
      }
    } else if (size_ != 0) {
      // The kinds move up behind the grown slots (the ranges are apart: n is at least twice the
      // old capacity).
      std::memmove(kinds, reinterpret_cast<TapeKind*>(slots + cap_), size_);
    }
    slots_ = slots;
    kinds_ = kinds;
    cap_ = n;
  }

  TapeSlot<Index>* slots_ = inline_slots();  // the block
  TapeKind* kinds_ = inline_kinds();         // inside the block, after cap_ slots
  size_t size_ = 0;
  size_t cap_ = INLINE_NODES;
  alignas(TapeSlot<Index>) unsigned char inline_[INLINE_NODES * NODE_BYTES];
};

template <class Index>
struct Tape {
  static constexpr Index NONE = static_cast<Index>(-1);

  const char* text = nullptr;  // where String offsets count from
  TapeNodes<Index> nodes;
  // Shapes stay from text to text when one tape reads several (the lines of a JSON Lines text):
  // their keys point into the texts and into `owned`, which outlive the tape.
  SmallVector<Shape<Index>, 8> shapes;
  SmallVector<ShapeMember, 32> shape_members;
  SmallVector<Index, 32> perms;
  // Unescaped strings and keys; a deque never moves them. Made at the first one, since most
  // texts have none.
  std::unique_ptr<std::deque<std::string>> owned;
  size_t strings = 0;  // string values, to size the dict map

  size_t size() const noexcept { return nodes.size(); }

  // The index of the node after node i and everything inside it.
  Index next(Index i) const noexcept {
    const TapeKind k = nodes.kinds()[i];
    return k == TapeKind::Array || k == TapeKind::Object ? nodes.slots()[i].b : i + 1;
  }

  // The bytes of a String or OwnedString node.
  std::string_view string(Index i) const noexcept {
    const TapeSlot<Index>& s = nodes.slots()[i];
    if (nodes.kinds()[i] == TapeKind::String) return {text + s.a, static_cast<size_t>(s.b)};
    return (*owned)[s.a];
  }

  // The u64, i64 or double bits of a number node.
  uint64_t number(Index i) const noexcept {
    if constexpr (sizeof(Index) == 8) {
      return nodes.slots()[i].a;
    } else {
      uint64_t bits;
      std::memcpy(&bits, &nodes.slots()[i], sizeof bits);
      return bits;
    }
  }

  // The number of a number node as a JsonValue.
  JsonValue number_value(Index i) const noexcept {
    JsonValue v;
    v.kind = JsonKind::Number;
    const TapeKind k = nodes.kinds()[i];
    v.form = k == TapeKind::Unsigned   ? NumberForm::Unsigned
             : k == TapeKind::Negative ? NumberForm::Negative
                                       : NumberForm::Float;
    v.number.u64 = number(i);
    return v;
  }

  // The TypeTag node i stands for, as tag_of gives it for the same value.
  TypeTag tag(Index i) const noexcept {
    static constexpr TypeTag TAGS[10] = {
        TypeTag::Null,    TypeTag::Bool,   TypeTag::Bool,   TypeTag::Int32, TypeTag::Int32,
        TypeTag::Float32, TypeTag::String, TypeTag::String, TypeTag::Array, TypeTag::Object};
    const TapeKind k = nodes.kinds()[i];
    if (k == TapeKind::Unsigned && number(i) >> 63 != 0) return TypeTag::UInt32;
    return TAGS[static_cast<uint8_t>(k)];
  }

  // Empties the nodes for the next text; shapes and owned strings stay.
  void clear_nodes() noexcept { nodes.clear(); }
  // Frees the nodes once no walk needs them; shapes and owned strings stay.
  void free_nodes() noexcept { nodes.release(); }
};

// Reads JSON texts onto a tape, one after the other: each read replaces the nodes of the text
// before and keeps the shapes, so that the lines of a JSON Lines text share them.
template <class Index>
class TapeBuilder {
 public:
  // `base` and `base_size`: the text that holds every text this builder reads (String offsets
  // count from `base`; every position in it must fit Index). Both outlive the tape.
  TapeBuilder(Tape<Index>& tape, const char* base, size_t base_size);

  // Reads `text`, a part of the base, onto the tape. Fails with the error read_json would give
  // for `text` alone; the tape then holds part of it.
  Status read(std::string_view text);
  // Slots probed so far in the layout table, and the re-keyings it made.
  uint64_t table_probes() const noexcept { return table_.probes(); }
  uint32_t table_rekeys() const noexcept { return table_.rekeys(); }

  // The calls of the JSON parser (json_parser.h).
  void null_value() { add(TapeKind::Null, 0, 0); }
  void bool_value(bool b) { add(b ? TapeKind::True : TapeKind::False, 0, 0); }
  void number_value(NumberForm form, uint64_t bits);
  void string_value(std::string_view s);
  void key(std::string_view k);
  void begin_array() { open(TapeKind::Array); }
  void begin_object() { open(TapeKind::Object); }
  void end_array();
  void end_object();
  std::string& owned_string() {
    if (!t_.owned) t_.owned = std::make_unique<std::deque<std::string>>();
    return t_.owned->emplace_back();
  }

 private:
  struct Frame {
    Index node;     // the container's node
    Index count;    // values directly inside it so far
    Index members;  // Object: where its members start in members_
  };
  struct Member {
    std::string_view key;
    Index value;  // the index of its value's node
  };
  struct SortKey {
    uint64_t prefix;
    Index ordinal;  // position in text order
  };
  struct TableSlot {
    uint64_t hash;  // under the table's present key
    Index shape;    // shape id + 1; 0 marks a free slot
    bool used() const noexcept { return shape != 0; }
  };

  void add(TapeKind k, Index a, Index b) {
    if (depth_ > 0) ++frames_[depth_ - 1].count;
    t_.nodes.push(k, a, b);
  }
  void add_number(TapeKind k, uint64_t bits) {
    if (depth_ > 0) ++frames_[depth_ - 1].count;
    t_.nodes.push_number(k, bits);
  }
  void open(TapeKind k) {
    const auto at = static_cast<Index>(t_.size());
    add(k, 0, 0);
    frames_[depth_++] = Frame{at, 0, static_cast<Index>(members_.size())};
  }
  bool matches(const Shape<Index>& s, const Member* m, Index n) const noexcept;
  Index find_shape(const Member* m, Index n);
  Index add_shape(const Member* m, Index n);
  uint64_t members_hash(const Member* m, Index n, const HashKey& key) const noexcept;
  uint64_t shape_hash(const Shape<Index>& s, const HashKey& key) const noexcept;
  void build_table();
  // How the shape table places a slot again: by its kept hash, or under a new key by its shape.
  auto rehash_slot() {
    return [this](TableSlot& e, bool fresh_key) {
      if (fresh_key) e.hash = shape_hash(t_.shapes[e.shape - 1], table_.key());
      return e.hash;
    };
  }

  Tape<Index>& t_;
  const char* base_;
  size_t base_size_;
  SmallVector<Member, 32> members_;             // the members of the open objects
  std::array<Frame, MAX_JSON_NESTING> frames_;  // written before read
  size_t depth_ = 0;
  // Shapes by hash, open addressing; made once there are LINEAR_SHAPES of them (the first ones
  // are found by comparing with each).
  static constexpr size_t LINEAR_SHAPES = 8;
  ProbeTable<TableSlot, 4 * LINEAR_SHAPES, 50> table_;
  bool hashing_ = false;  // whether the table is made
  // The shape last seen for a depth and member count, + 1: objects in arrays of records mostly
  // repeat it, and a hit spares the hash.
  static constexpr size_t PREDICTIONS = 64;
  std::array<Index, PREDICTIONS> predicted_{};
  SmallVector<SortKey, 16> sort_keys_;  // scratch for sorting the keys of a new shape
};

}  // namespace vorn

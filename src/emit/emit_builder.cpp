#include "emit/emit_builder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace vorn {

void StringDictionary::grow() {
  // Slots are placed by their 32-bit tags, which can tell apart no more than 2^32 of them.
  if (slots_.size() >= (size_t{1} << 32)) throw std::bad_alloc();
  std::vector<Slot> old = std::exchange(slots_, {});
  slots_.resize(old.empty() ? 1024 : old.size() * 2);
  mask_ = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.entry == NO_ENTRY) continue;
    size_t i = s.tag & mask_;
    while (slots_[i].entry != NO_ENTRY) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

EmitBuilder::EmitBuilder(BufferProvider& provider) : payload_(provider) { init(); }

EmitBuilder::EmitBuilder() { init(); }

void EmitBuilder::init() {
  array_defs_.fill(NO_ENTRY);
  // The six predefined definitions: kind and id 0 to 5, nothing more.
  static constexpr uint8_t PREDEFINED[18] = {0, 0, 0, 1, 1, 0, 2, 2, 0, 3, 3, 0, 4, 4, 0, 5, 5, 0};
  defs_.put_bytes(PREDEFINED, sizeof PREDEFINED);
  nodes_.emplace_back();
  stack_.reserve(16);
}

void EmitBuilder::begin_array() {
  note_item(ItemKind::Array);
  push(Frame{.type = FrameType::Array, .header_at = payload_.size()});
  payload_.extend(6);  // self_def_index, elem_def_index and count, written at the end
}

void EmitBuilder::begin_object() {
  note_item(ItemKind::Object);
  push(Frame{.type = FrameType::Object, .header_at = payload_.size()});
  payload_.extend(2);  // self_def_index, written at the end
}

void EmitBuilder::note_odd_item(ItemKind kind) {
  Frame& f = top_;
  if (!is_number(f.first) || !is_number(kind)) {
    if (f.odd_index == SIZE_MAX) {
      f.odd_index = f.count;
      f.odd_kind = kind;
    }
    return;
  }
  if (f.ints_as_floats) return;
  // Numbers of both kinds: the array holds Float32, and every Int32 item becomes the nearest
  // Float32. Those before this one are all Int32 (4 bytes each after the 6-byte header) unless
  // the array already holds something else, which fails the image anyway; those after it are
  // written as floats.
  f.ints_as_floats = true;
  if (f.first != ItemKind::Int32 || f.odd_index != SIZE_MAX) return;
  uint8_t* items = payload_.data() + f.header_at + 6;
  for (size_t i = 0; i < f.count; ++i) {
    const auto v = static_cast<int32_t>(load_u32(items + 4 * i));
    ByteBuffer::store_u32(items + 4 * i, std::bit_cast<uint32_t>(static_cast<float>(v)));
  }
}

void EmitBuilder::end_array() {
  const Frame& f = top_;
  if (f.count > MAX_ARRAY_ITEMS && f.header_at < oversized_at_) {
    oversized_at_ = f.header_at;
    oversized_count_ = f.count;
  }
  if (f.odd_index != SIZE_MAX) set_mismatch(f.odd_index, f.odd_kind, f.first);
  // An array of numbers holds nothing that takes a definition, so taking its id only now still
  // numbers it before anything inside it.
  uint16_t id;
  if (f.has_id) {
    id = load_u16(payload_.data() + f.header_at);
  } else {
    const TypeTag elem = f.count == 0       ? TypeTag::Null
                         : f.ints_as_floats ? TypeTag::Float32
                                            : tag_of(f.first);
    id = set_array_definition(f.header_at, elem);
  }
  payload_.patch_u16(f.header_at + 4, static_cast<uint16_t>(f.count));
  closed(id);
}

void EmitBuilder::end_object() {
  const Frame& f = top_;
  const Node& node = nodes_[f.node];
  const uint16_t id = node.has_def ? node.def : new_object_definition(f.node);
  payload_.patch_u16(f.header_at, id);
  closed(id);
}

uint32_t EmitBuilder::add_node(uint32_t parent, ItemKind kind) {
  const auto id = static_cast<uint32_t>(nodes_.size());
  if (id == UINT32_MAX) throw std::bad_alloc();
  Node& n = nodes_.emplace_back();
  n.parent = parent;
  n.kind = kind;
  nodes_[parent].next[static_cast<size_t>(kind)] = id;
  return id;
}

uint16_t EmitBuilder::new_array_definition(TypeTag elem) {
  const uint16_t id = take_id();
  array_defs_[static_cast<size_t>(kind_char(elem) - '0')] = id;
  defs_.put_u8(static_cast<uint8_t>(TypeTag::Array));
  defs_.put_u16(id);
  defs_.put_u8(static_cast<uint8_t>(elem));
  return id;
}

uint16_t EmitBuilder::new_object_definition(uint32_t node) {
  path_.clear();
  for (uint32_t n = node; n != 0; n = nodes_[n].parent) path_.push_back(nodes_[n].kind);
  std::reverse(path_.begin(), path_.end());

  const uint16_t id = take_id();
  nodes_[node].def = id;
  nodes_[node].has_def = true;
  const size_t count = path_.size();
  defs_.put_u8(static_cast<uint8_t>(TypeTag::Object));
  defs_.put_u16(id);
  if (count > MAX_OBJECT_FIELDS && wide_fields_ == 0) {
    wide_id_ = id;
    wide_fields_ = count;
  }
  if (count > MAX_ENCODED_FIELDS) {
    if (!fault_) fault_ = DefinitionFault{DefinitionFault::Kind::TooManyFields, id, count};
    return id;
  }
  defs_.put_u16(static_cast<uint16_t>(count));
  // Per field: the name's length, the name "f{i}", the tag; at most 8 bytes, as i < 65536. The
  // decimal digits of i are counted up in place.
  uint8_t* p = defs_.extend(count * 8);
  std::array<uint8_t, 8> digits{'0'};
  size_t len = 1;
  for (size_t i = 0; i < count; ++i) {
    p[0] = static_cast<uint8_t>(len + 1);
    p[1] = 'f';
    std::memcpy(p + 2, digits.data(), len);
    p[2 + len] = static_cast<uint8_t>(tag_of(path_[i]));
    p += 3 + len;
    size_t d = len;
    while (d > 0 && digits[d - 1] == '9') digits[--d] = '0';
    if (d > 0) {
      ++digits[d - 1];
    } else {
      std::memmove(digits.data() + 1, digits.data(), len++);
      digits[0] = '1';
    }
  }
  defs_.resize(static_cast<size_t>(p - defs_.data()));
  return id;
}

void EmitBuilder::set_mismatch(size_t item, ItemKind found, ItemKind expected) {
  if (mismatch_) return;
  mismatch_ = array_item_mismatch(item, tag_of(found), tag_of(expected));
}

}  // namespace vorn

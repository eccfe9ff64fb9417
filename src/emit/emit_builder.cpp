#include "emit/emit_builder.h"

#include <charconv>
#include <cstring>
#include <utility>

namespace vorn {

void HashIndex::insert(uint64_t hash, uint32_t entry) {
  if ((used_ + 1) * 2 > slots_.size()) grow();
  size_t i = hash & mask_;
  while (slots_[i].entry != NONE) i = (i + 1) & mask_;
  slots_[i] = Slot{hash, entry};
  ++used_;
}

void HashIndex::grow() {
  std::vector<Slot> old = std::exchange(slots_, {});
  slots_.resize(old.empty() ? 64 : old.size() * 2);
  mask_ = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.entry == NONE) continue;
    size_t i = s.hash & mask_;
    while (slots_[i].entry != NONE) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

uint64_t hash_bytes(std::string_view bytes) noexcept {
  constexpr uint64_t K = 0x9E3779B97F4A7C15ULL;
  const char* p = bytes.data();
  size_t n = bytes.size();
  uint64_t h = n * K;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * K;
    h ^= h >> 29;
  }
  if (n != 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * K;
  }
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ULL;
  return h ^ (h >> 32);
}

void StringDictionary::grow() {
  std::vector<Slot> old = std::exchange(slots_, {});
  slots_.resize(old.empty() ? 256 : old.size() * 2);
  mask_ = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.entry == HashIndex::NONE) continue;
    size_t i = s.tag & mask_;
    while (slots_[i].entry != HashIndex::NONE) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

namespace {

bool is_number(ValueKind k) noexcept { return k == ValueKind::Int32 || k == ValueKind::Float32; }
bool is_container(ValueKind k) noexcept { return k == ValueKind::Array || k == ValueKind::Object; }

// Payload bytes of a scalar as the encoder writes it.
uint64_t scalar_size(const EmitBuilder& b, const EmitNode& n) noexcept {
  switch (n.kind) {
    case ValueKind::Bool:
      return 1;
    case ValueKind::Int32:
    case ValueKind::UInt32:
    case ValueKind::Float32:
      return 4;
    case ValueKind::String: {
      const size_t len = b.dictionary.strings()[n.bits].size();
      return (len < 128 ? 1 : len < 16384 ? 2 : 4) + len;
    }
    default:
      return 0;
  }
}

uint16_t array_definition(EmitBuilder& b, TypeTag elem) {
  uint32_t& slot = b.array_defs[static_cast<uint8_t>(elem)];
  if (slot != HashIndex::NONE) return static_cast<uint16_t>(slot);
  Definition d;
  d.kind = TypeTag::Array;
  d.id = b.next_id++;
  d.elem_type = elem;
  slot = d.id;
  b.definitions.push_back(std::move(d));
  return static_cast<uint16_t>(slot);
}

// The definition of the object at `index`, whose key is on the key stack from `base` on.
uint16_t object_definition(EmitBuilder& b, const EmitTree& tree, uint32_t index, size_t base) {
  const std::string_view key(b.key_stack.data() + base, b.key_stack.size() - base);
  const uint64_t hash = hash_bytes(key);
  const uint32_t found = b.object_index.find(hash, [&](uint32_t e) {
    const size_t from = e == 0 ? 0 : b.object_key_ends[e - 1];
    return std::string_view(b.object_key_text.data() + from, b.object_key_ends[e] - from) == key;
  });
  if (found != HashIndex::NONE) return b.object_key_ids[found];

  Definition d;
  d.kind = TypeTag::Object;
  d.id = b.next_id++;
  std::vector<FieldDef>& fields = d.fields.emplace();
  fields.reserve(key.size());
  uint32_t i = 0;
  for (uint32_t c = index + 1; c < tree[index].end; c = tree[c].end, ++i) {
    char name[12] = {'f'};
    char* name_end = std::to_chars(name + 1, name + sizeof name, i).ptr;
    fields.push_back(FieldDef{std::string(name + 0, name_end), tag_of(tree[c].kind)});
  }
  const auto entry = static_cast<uint32_t>(b.object_key_ids.size());
  b.object_key_text.append(key);
  b.object_key_ends.push_back(static_cast<uint32_t>(b.object_key_text.size()));
  b.object_key_ids.push_back(d.id);
  b.object_index.insert(hash, entry);
  const uint16_t id = d.id;
  b.definitions.push_back(std::move(d));
  return id;
}

FormatError item_mismatch(uint32_t item, ValueKind found, TypeTag expected) {
  std::string m = "Array item " + std::to_string(item) + " is ";
  m += tag_name(tag_of(found));
  m += " but elem_type is ";
  m += tag_name(expected);
  return FormatError{std::move(m)};
}

// An array whose first item is a number. Valid, it holds numbers only and so nothing that could
// take a definition: its own id may be taken after the items and still comes before anything
// inside it.
Status intern_number_array(EmitBuilder& b, EmitTree& tree, uint32_t index) {
  const uint32_t end = tree[index].end;
  const TypeTag first = tag_of(tree[index + 1].kind);
  bool ints = false, floats = false;
  uint32_t mismatch = UINT32_MAX, mismatch_node = 0, item = 0;
  for (uint32_t c = index + 1; c < end; c = tree[c].end, ++item) {
    const ValueKind k = tree[c].kind;
    ints |= k == ValueKind::Int32;
    floats |= k == ValueKind::Float32;
    if (is_number(k)) continue;
    if (is_container(k)) {
      if (Status s = intern_value(b, tree, c); !s) return s;
    }
    if (mismatch == UINT32_MAX) {
      mismatch = item;
      mismatch_node = c;
    }
  }
  if (mismatch != UINT32_MAX) return item_mismatch(mismatch, tree[mismatch_node].kind, first);

  b.payload_size += 4ULL * tree[index].bits;
  TypeTag elem = first;
  if (ints && floats) {  // the Int32 items become the nearest Float32
    elem = TypeTag::Float32;
    for (uint32_t c = index + 1; c < end; ++c) {
      EmitNode& n = tree[c];
      if (n.kind != ValueKind::Int32) continue;
      n.kind = ValueKind::Float32;
      n.bits = float_bits(static_cast<float>(static_cast<int32_t>(n.bits)));
    }
  }
  tree[index].def = array_definition(b, elem);
  return {};
}

Status intern_array(EmitBuilder& b, EmitTree& tree, uint32_t index) {
  const uint32_t end = tree[index].end;
  const uint32_t count = tree[index].bits;
  if (count > MAX_ARRAY_ITEMS && b.oversized_array == UINT32_MAX) b.oversized_array = index;
  b.payload_size += 6;  // self_def_index, elem_def_index, count
  if (count != 0 && is_number(tree[index + 1].kind)) return intern_number_array(b, tree, index);

  const TypeTag first = count == 0 ? TypeTag::Null : tag_of(tree[index + 1].kind);
  tree[index].def = array_definition(b, first);
  uint32_t mismatch = UINT32_MAX, mismatch_node = 0, item = 0;
  for (uint32_t c = index + 1; c < end; c = tree[c].end, ++item) {
    const ValueKind k = tree[c].kind;
    if (is_container(k)) {
      if (Status s = intern_value(b, tree, c); !s) return s;
    } else {
      b.payload_size += scalar_size(b, tree[c]);
    }
    if (tag_of(k) != first && mismatch == UINT32_MAX) {
      mismatch = item;
      mismatch_node = c;
    }
  }
  if (mismatch != UINT32_MAX) return item_mismatch(mismatch, tree[mismatch_node].kind, first);
  return {};
}

Status intern_object(EmitBuilder& b, EmitTree& tree, uint32_t index) {
  const uint32_t end = tree[index].end;
  b.payload_size += 2;  // self_def_index
  const size_t base = b.key_stack.size();
  for (uint32_t c = index + 1; c < end; c = tree[c].end) {
    const ValueKind k = tree[c].kind;
    if (is_container(k)) {
      if (Status s = intern_value(b, tree, c); !s) return s;
    } else {
      b.payload_size += scalar_size(b, tree[c]);
    }
    b.key_stack.push_back(kind_char(tag_of(k)));
  }
  tree[index].def = object_definition(b, tree, index, base);
  b.key_stack.resize(base);
  return {};
}

}  // namespace

Status intern_value(EmitBuilder& b, EmitTree& tree, uint32_t index) {
  switch (tree[index].kind) {
    case ValueKind::Array:
      return intern_array(b, tree, index);
    case ValueKind::Object:
      return intern_object(b, tree, index);
    default:
      b.payload_size += scalar_size(b, tree[index]);
      return {};
  }
}

uint16_t root_definition(const EmitTree& tree) {
  const EmitNode& root = tree[0];
  if (root.kind == ValueKind::Array || root.kind == ValueKind::Object) return root.def;
  return static_cast<uint8_t>(tag_of(root.kind));
}

}  // namespace vorn

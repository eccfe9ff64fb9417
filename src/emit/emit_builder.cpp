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

namespace {

// Bytes of the length prefix the encoder writes before a string of n bytes.
uint64_t string_prefix_size(uint32_t n) noexcept {
  if (n < 128) return 1;
  if (n < 16384) return 2;
  return 4;
}

bool is_number(TypeTag t) noexcept { return t == TypeTag::Int32 || t == TypeTag::Float32; }

uint16_t take_id(EmitBuilder& b) { return b.next_id++; }

void intern_string(EmitBuilder& b, const EmitNode& n) {
  const std::string_view s = n.str();
  b.payload_size += string_prefix_size(n.bits) + n.bits;
  const uint32_t found = b.string_index.find(n.hash, [&](uint32_t e) {
    const std::string_view t = b.strings[e];
    return t.size() == s.size() &&
           (t.data() == s.data() || std::memcmp(t.data(), s.data(), s.size()) == 0);
  });
  if (found != HashIndex::NONE) return;
  const auto entry = static_cast<uint32_t>(b.strings.size());
  b.strings.push_back(s);
  b.string_hashes.push_back(n.hash);
  b.string_index.insert(n.hash, entry);
}

uint16_t array_definition(EmitBuilder& b, TypeTag elem) {
  uint32_t& slot = b.array_defs[static_cast<uint8_t>(elem)];
  if (slot != HashIndex::NONE) return static_cast<uint16_t>(slot);
  Definition d;
  d.kind = TypeTag::Array;
  d.id = take_id(b);
  d.elem_type = elem;
  slot = d.id;
  b.definitions.push_back(std::move(d));
  return static_cast<uint16_t>(slot);
}

uint16_t object_definition(EmitBuilder& b, const EmitTree& tree, uint32_t index) {
  // The key is built at the end of the key text and dropped again when it is already known.
  const size_t start = b.object_key_text.size();
  const uint32_t end = tree[index].end;
  for (uint32_t c = index + 1; c < end; c = tree[c].end) {
    b.object_key_text.push_back(kind_char(tag_of(tree[c].kind)));
  }
  const std::string_view key(b.object_key_text.data() + start, b.object_key_text.size() - start);
  const uint64_t hash = hash_bytes(key);
  const uint32_t found = b.object_index.find(hash, [&](uint32_t e) {
    const size_t from = e == 0 ? 0 : b.object_key_ends[e - 1];
    const std::string_view known(b.object_key_text.data() + from, b.object_key_ends[e] - from);
    return known == key;
  });
  if (found != HashIndex::NONE) {
    b.object_key_text.resize(start);
    return b.object_key_ids[found];
  }
  Definition d;
  d.kind = TypeTag::Object;
  d.id = take_id(b);
  std::vector<FieldDef>& fields = d.fields.emplace();
  fields.reserve(key.size());
  uint32_t i = 0;
  for (uint32_t c = index + 1; c < end; c = tree[c].end, ++i) {
    char name[12] = {'f'};
    char* name_end = std::to_chars(name + 1, name + sizeof name, i).ptr;
    fields.push_back(FieldDef{std::string(name + 0, name_end), tag_of(tree[c].kind)});
  }
  const auto entry = static_cast<uint32_t>(b.object_key_ids.size());
  b.object_key_ends.push_back(static_cast<uint32_t>(b.object_key_text.size()));
  b.object_key_ids.push_back(d.id);
  b.object_index.insert(hash, entry);
  const uint16_t id = d.id;
  b.definitions.push_back(std::move(d));
  return id;
}

FormatError item_mismatch(uint32_t item, TypeTag found, TypeTag expected) {
  std::string m = "Array item " + std::to_string(item) + " is ";
  m += tag_name(found);
  m += " but elem_type is ";
  m += tag_name(expected);
  return FormatError{std::move(m)};
}

Status intern_array(EmitBuilder& b, EmitTree& tree, uint32_t index) {
  const uint32_t end = tree[index].end;
  const uint32_t count = tree[index].bits;
  if (count > MAX_ARRAY_ITEMS && b.oversized_array == UINT32_MAX) b.oversized_array = index;
  b.payload_size += 6;  // self_def_index, elem_def_index, count

  // The element kind is the first item's; numbers of both kinds, and nothing else, make an
  // array of Float32.
  const TypeTag first = count == 0 ? TypeTag::Null : tag_of(tree[index + 1].kind);
  TypeTag elem = first;
  bool promote = false;
  if (is_number(first)) {
    bool ints = false, floats = false, others = false;
    for (uint32_t c = index + 1; c < end; c = tree[c].end) {
      const ValueKind k = tree[c].kind;
      ints |= k == ValueKind::Int32;
      floats |= k == ValueKind::Float32;
      others |= k != ValueKind::Int32 && k != ValueKind::Float32;
    }
    promote = ints && floats && !others;
    if (promote) elem = TypeTag::Float32;
  }
  const uint16_t id = array_definition(b, elem);
  tree[index].def = id;

  uint32_t mismatch = UINT32_MAX;  // the first differing item: its position and its node
  uint32_t mismatch_node = 0;
  uint32_t item = 0;
  for (uint32_t c = index + 1; c < end; c = tree[c].end, ++item) {
    if (Status s = intern_value(b, tree, c); !s) return s;
    EmitNode& n = tree[c];
    const TypeTag t = tag_of(n.kind);
    if (promote) {
      if (n.kind == ValueKind::Int32) {
        n.kind = ValueKind::Float32;
        n.bits = float_bits(static_cast<float>(static_cast<int32_t>(n.bits)));
      }
    } else if (t != first && !(is_number(first) && is_number(t)) && mismatch == UINT32_MAX) {
      mismatch = item;
      mismatch_node = c;
    }
  }
  if (mismatch != UINT32_MAX)
    return item_mismatch(mismatch, tag_of(tree[mismatch_node].kind), first);
  return {};
}

Status intern_object(EmitBuilder& b, EmitTree& tree, uint32_t index) {
  const uint32_t end = tree[index].end;
  b.payload_size += 2;  // self_def_index
  for (uint32_t c = index + 1; c < end; c = tree[c].end) {
    if (Status s = intern_value(b, tree, c); !s) return s;
  }
  tree[index].def = object_definition(b, tree, index);
  return {};
}

}  // namespace

Status intern_value(EmitBuilder& b, EmitTree& tree, uint32_t index) {
  switch (tree[index].kind) {
    case ValueKind::String:
      intern_string(b, tree[index]);
      return {};
    case ValueKind::Array:
      return intern_array(b, tree, index);
    case ValueKind::Object:
      return intern_object(b, tree, index);
    case ValueKind::Bool:
      b.payload_size += 1;
      return {};
    case ValueKind::Int32:
    case ValueKind::UInt32:
    case ValueKind::Float32:
      b.payload_size += 4;
      return {};
    case ValueKind::Null:
    case ValueKind::StrRef:
      return {};
  }
  return {};
}

uint16_t root_definition(const EmitTree& tree) {
  const EmitNode& root = tree.front();
  if (root.kind == ValueKind::Array || root.kind == ValueKind::Object) return root.def;
  return static_cast<uint8_t>(tag_of(root.kind));
}

}  // namespace vorn

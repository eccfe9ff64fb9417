#include "emit/emit_builder.h"

#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

namespace vorn {

void StringDictionary::reset_seen() {
  // The address table grows with the slots up to its limit; a grown one starts empty, and the
  // strings met again in their own storage are noted anew.
  seen_for_bytes_ = table_.table_bytes();
  const size_t slots = seen_for_bytes_ / sizeof(Slot);
  const size_t seen = slots < MAX_SEEN ? slots : MAX_SEEN;
  if (seen == seen_.size()) return;
  seen_.zero_fill(seen);
  seen_shift_ = static_cast<unsigned>(64 - std::countr_zero(seen));
}

bool StringDictionary::intern(std::string_view s, uint64_t hash) {
  auto tag = static_cast<uint32_t>(hash);
  auto [slot, inserted] = table_.insert(
      tag, [&](const Slot& x) { return x.tag == tag && bytes_equal(strings_[x.entry - 1], s); },
      [&](const HashKey& key) { return tag = static_cast<uint32_t>(hash_bytes(s, key)); },
      [this](Slot& x, bool fresh_key) {
        if (fresh_key) {
          x.tag = static_cast<uint32_t>(hash_bytes(strings_[x.entry - 1], table_.key()));
        }
        return uint64_t{x.tag};
      });
  if (!inserted) {
    const std::string_view known = strings_[slot->entry - 1];
    if (known.data() == s.data()) seen_slot(s.data()) = s.data();
    return false;
  }
  // Entries are 32-bit.
  if (strings_.size() >= (size_t{1} << 31)) [[unlikely]] {
    throw std::bad_alloc();
  }
  strings_.push_back(s);
  *slot = Slot{tag, static_cast<uint32_t>(strings_.size())};
  if (table_.table_bytes() != seen_for_bytes_) [[unlikely]] {
    reset_seen();
  }
  return true;
}

EmitBuilder::EmitBuilder(BufferProvider& provider) : payload_(provider) { init(); }

EmitBuilder::EmitBuilder() { init(); }

void EmitBuilder::init() {
  array_defs_.fill(NO_ENTRY);
  recent_layouts_.fill(NO_ENTRY);
}

void EmitBuilder::begin_array() {
  note_item(ItemKind::Array);
  push(Frame{.type = FrameType::Array, .header_at = payload_.size()});
  payload_.extend(ARRAY_HEADER_SIZE);  // written at the end
}

void EmitBuilder::begin_object() {
  note_item(ItemKind::Object);
  push(Frame{.type = FrameType::Object, .kinds_at = kinds_.size(), .header_at = payload_.size()});
  payload_.extend(OBJECT_HEADER_SIZE);  // written at the end
}

uint8_t* EmitBuilder::add_number_array(size_t count, ItemKind elem) {
  note_item(ItemKind::Array);
  const size_t header_at = payload_.size();
  uint8_t* items = payload_.extend(ARRAY_HEADER_SIZE + NUMBER_SIZE * count) + ARRAY_HEADER_SIZE;
  note_array_count(header_at, count);
  // The array holds nothing that takes a definition: its id now is the id end_array would give.
  const uint16_t id = set_array_definition(header_at, tag_of(elem));
  payload_.patch_u16(header_at + 4, static_cast<uint16_t>(count));
  if (top_.type == FrameType::Root) root_definition_ = id;
  return items;
}

void EmitBuilder::note_odd_item(ItemKind kind) {
  Frame& f = top_;
  if (!is_number_tag(tag_of(f.first)) || !is_number_tag(tag_of(kind))) {
    if (f.odd_index == SIZE_MAX) {
      f.odd_index = f.count;
      f.odd_kind = kind;
    }
    return;
  }
  if (f.ints_as_floats) return;
  // Numbers of both kinds: the array holds Float32, and every Int32 item becomes the nearest
  // Float32. Those before this one are all Int32 (after the array's header) unless the array
  // already holds something else, which fails the image anyway; those after it are written as
  // floats.
  f.ints_as_floats = true;
  if (f.first != ItemKind::Int32 || f.odd_index != SIZE_MAX) return;
  uint8_t* items = payload_.data() + f.header_at + ARRAY_HEADER_SIZE;
  for (size_t i = 0; i < f.count; ++i) {
    const auto v = static_cast<int32_t>(load_u32(items + NUMBER_SIZE * i));
    put_u32(items + NUMBER_SIZE * i, std::bit_cast<uint32_t>(static_cast<float>(v)));
  }
}

void EmitBuilder::end_array() {
  const Frame& f = top_;
  note_array_count(f.header_at, f.count);
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
  const size_t count = kinds_.size() - f.kinds_at;
  const uint16_t id = object_definition(kinds_.data() + f.kinds_at, count);
  kinds_.truncate(f.kinds_at);
  payload_.patch_u16(f.header_at, id);
  closed(id);
}

namespace {

// bytes_equal without the call to memcmp past 16 bytes: layouts are mostly a few dozen kinds,
// compared eight at a time.
bool same_kinds(std::string_view x, std::string_view y) noexcept {
  const size_t n = x.size();
  if (n != y.size()) return false;
  if (n < 8) return bytes_equal(x, y);
  uint64_t diff = load_u64(x.data() + n - 8) ^ load_u64(y.data() + n - 8);
  for (size_t i = 0; i + 8 < n; i += 8) diff |= load_u64(x.data() + i) ^ load_u64(y.data() + i);
  return diff == 0;
}

}  // namespace

uint16_t EmitBuilder::object_definition(const ItemKind* kinds, size_t count) {
  // Layouts are 32-bit entries.
  if (layouts_.size() >= (size_t{1} << 31)) throw std::bad_alloc();
  const std::string_view key(reinterpret_cast<const char*>(kinds), count);
  // Objects of one layout mostly come in runs (the items of an array, the same member of each):
  // the layout last met with as many items at the same depth is tried before the table, without
  // hashing.
  uint32_t& recent = recent_layouts_[(count * 4 + stack_.size()) % recent_layouts_.size()];
  if (recent != NO_ENTRY && same_kinds(layout_key(layouts_[recent]), key)) {
    return layouts_[recent].def;
  }
  auto tag = static_cast<uint32_t>(hash_bytes(key, layout_slots_.key()));
  auto [slot, inserted] = layout_slots_.insert(
      tag,
      [&](const LayoutSlot& x) {
        return x.tag == tag && bytes_equal(layout_key(layouts_[x.entry - 1]), key);
      },
      [&](const HashKey& k) { return tag = static_cast<uint32_t>(hash_bytes(key, k)); },
      [this](LayoutSlot& x, bool fresh_key) {
        if (fresh_key) {
          x.tag = static_cast<uint32_t>(
              hash_bytes(layout_key(layouts_[x.entry - 1]), layout_slots_.key()));
        }
        return uint64_t{x.tag};
      });
  if (!inserted) {
    recent = slot->entry - 1;
    return layouts_[recent].def;
  }
  // A new layout: its definition takes the next id.
  const uint16_t id = new_object_definition(kinds, count);
  layouts_.push_back(Layout{layout_kinds_.size(), count, id});
  layout_kinds_.append(kinds, count);
  *slot = LayoutSlot{tag, static_cast<uint32_t>(layouts_.size())};
  recent = static_cast<uint32_t>(layouts_.size() - 1);
  return id;
}

uint16_t EmitBuilder::new_array_definition(TypeTag elem) {
  const uint16_t id = defs_.add_array(elem);
  array_defs_[static_cast<size_t>(kind_char(elem) - '0')] = id;
  return id;
}

namespace {

// The name of field i (below 100) as its field entry begins: the name's length, then "f{i}";
// `size` of the four bytes are used.
struct FieldName {
  uint8_t bytes[4];
  uint8_t size;
};

constexpr std::array<FieldName, 100> make_field_names() {
  std::array<FieldName, 100> names{};
  for (uint8_t i = 0; i < 100; ++i) {
    if (i < 10) {
      names[i] = FieldName{{2, 'f', static_cast<uint8_t>('0' + i), 0}, 3};
    } else {
      names[i] = FieldName{
          {3, 'f', static_cast<uint8_t>('0' + i / 10), static_cast<uint8_t>('0' + i % 10)}, 4};
    }
  }
  return names;
}

constexpr std::array<FieldName, 100> FIELD_NAMES = make_field_names();

}  // namespace

uint16_t EmitBuilder::new_object_definition(const ItemKind* kinds, size_t count) {
  uint16_t id;
  // Per field the name's length, the name "f{i}" and the tag. The names of the first hundred
  // fields come from a table, written four bytes at a time: a name of three bytes leaves the
  // fourth to its tag, which follows.
  uint8_t* p = defs_.add_object(count, field_block_size(count), id);
  if (p == nullptr) return id;
  const size_t named = count < FIELD_NAMES.size() ? count : FIELD_NAMES.size();
  for (size_t i = 0; i < named; ++i) {
    const FieldName& name = FIELD_NAMES[i];
    std::memcpy(p, name.bytes, 4);
    p[name.size] = static_cast<uint8_t>(tag_of(kinds[i]));
    p += name.size + 1;
  }
  for (size_t i = named; i < count; ++i) {
    // The decimal digits of i, at most five (i < 65535).
    uint8_t digits[5];
    size_t len = 0;
    for (size_t v = i; v != 0; v /= 10) digits[4 - len++] = static_cast<uint8_t>('0' + v % 10);
    p[0] = static_cast<uint8_t>(len + 1);
    p[1] = 'f';
    std::memcpy(p + 2, digits + 5 - len, len);
    p[2 + len] = static_cast<uint8_t>(tag_of(kinds[i]));
    p += 3 + len;
  }
  return id;
}

size_t EmitBuilder::field_block_size(size_t count) noexcept {
  // Four bytes a field (length, 'f', one digit, tag), and one more for every digit past the
  // first: from field 10 on, from field 100 on, and so on.
  size_t size = 4 * count;
  for (size_t from = 10; from < count; from *= 10) size += count - from;
  return size;
}

void EmitBuilder::set_mismatch(size_t item, ItemKind found, ItemKind expected) {
  if (mismatch_) return;
  mismatch_ = array_item_mismatch(item, tag_of(found), tag_of(expected));
}

}  // namespace vorn

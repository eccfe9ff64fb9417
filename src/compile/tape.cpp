#include "compile/tape.h"

#include <bit>
#include <cstring>

#include "format/bytes.h"
#include "format/key_order.h"

namespace vorn {

namespace {

// The first eight bytes of a key as a big-endian number, zero-padded: ordering these orders the
// keys unless they are equal.
uint64_t key_prefix(std::string_view key) noexcept {
  if (key.size() >= 8 && std::endian::native == std::endian::little) {
    uint64_t v;
    std::memcpy(&v, key.data(), 8);
    return __builtin_bswap64(v);
  }
  uint64_t v = 0;
  const size_t n = key.size() < 8 ? key.size() : 8;
  for (size_t i = 0; i < n; ++i) v |= uint64_t{static_cast<uint8_t>(key[i])} << (56 - 8 * i);
  return v;
}

}  // namespace

template <class Index>
TapeBuilder<Index>::TapeBuilder(Tape<Index>& tape, const char* base, size_t base_size)
    : t_(tape), base_(base), base_size_(base_size) {
  t_.text = base;
}

template <class Index>
inline void TapeBuilder<Index>::number_value(NumberForm form, uint64_t bits) {
  const TapeKind k = form == NumberForm::Unsigned   ? TapeKind::Unsigned
                     : form == NumberForm::Negative ? TapeKind::Negative
                                                    : TapeKind::Float;
  add_number(k, bits);
}

template <class Index>
inline void TapeBuilder<Index>::string_value(std::string_view s) {
  ++t_.strings;
  const auto offset = reinterpret_cast<uintptr_t>(s.data()) - reinterpret_cast<uintptr_t>(base_);
  if (offset < base_size_) {
    add(TapeKind::String, static_cast<Index>(offset), static_cast<Index>(s.size()));
  } else {
    // The string parse_escaped has just unescaped into the last owned string.
    add(TapeKind::OwnedString, static_cast<Index>(t_.owned->size() - 1),
        static_cast<Index>(s.size()));
  }
}

// Keys take no node: the member list of the open objects holds them with the index of the value
// node that follows.
template <class Index>
inline void TapeBuilder<Index>::key(std::string_view k) {
  members_.push_back(Member{k, static_cast<Index>(t_.size())});
}

template <class Index>
inline void TapeBuilder<Index>::end_array() {
  const Frame& f = frames_[--depth_];
  TapeSlot<Index>& slot = t_.nodes.slot(f.node);
  slot.a = f.count;
  slot.b = static_cast<Index>(t_.size());
}

template <class Index>
bool TapeBuilder<Index>::matches(const Shape<Index>& s, const Member* m, Index n) const noexcept {
  if (s.count != n) return false;
  const ShapeMember* sm = t_.shape_members.data() + s.members;
  for (Index k = 0; k < n; ++k) {
    if (sm[k].kind != t_.tag(m[k].value) || !bytes_equal(sm[k].key, m[k].key)) return false;
  }
  return true;
}

template <class Index>
Index TapeBuilder<Index>::find_shape(const Member* m, Index n) {
  const size_t slot = (depth_ * 61 + n) & (PREDICTIONS - 1);
  if (const Index p = predicted_[slot]; p != 0 && matches(t_.shapes[p - 1], m, n)) return p - 1;
  if (!hashing_) {
    // While there are few layouts, each is compared in turn: no hashing, no table.
    for (size_t s = 0; s < t_.shapes.size(); ++s) {
      if (matches(t_.shapes[s], m, n)) {
        predicted_[slot] = static_cast<Index>(s + 1);
        return static_cast<Index>(s);
      }
    }
    const Index id = add_shape(m, n);
    predicted_[slot] = id + 1;
    if (t_.shapes.size() == LINEAR_SHAPES) build_table();
    return id;
  }
  uint64_t hash = members_hash(m, n, table_.key());
  auto [entry, inserted] = table_.insert(
      hash,
      [&](const TableSlot& e) { return e.hash == hash && matches(t_.shapes[e.shape - 1], m, n); },
      [&](const HashKey& key) { return hash = members_hash(m, n, key); }, rehash_slot());
  if (!inserted) {
    predicted_[slot] = entry->shape;
    return entry->shape - 1;
  }
  const Index id = add_shape(m, n);
  *entry = TableSlot{hash, id + 1};
  predicted_[slot] = id + 1;
  return id;
}

// The hash of a member list under `key`: find_shape's, and from a layout's own record
// shape_hash's. The kind is keyed, or a kind of zero (Null) would make the product zero.
template <class Index>
uint64_t TapeBuilder<Index>::members_hash(const Member* m, Index n,
                                          const HashKey& key) const noexcept {
  uint64_t hash = n;
  for (Index k = 0; k < n; ++k) {
    hash = mix_hash(hash ^ hash_bytes(m[k].key, key),
                    static_cast<uint64_t>(t_.tag(m[k].value)) ^ key.pair);
  }
  return hash;
}

template <class Index>
uint64_t TapeBuilder<Index>::shape_hash(const Shape<Index>& s, const HashKey& key) const noexcept {
  const ShapeMember* sm = t_.shape_members.data() + s.members;
  uint64_t hash = s.count;
  for (Index k = 0; k < s.count; ++k) {
    hash =
        mix_hash(hash ^ hash_bytes(sm[k].key, key), static_cast<uint64_t>(sm[k].kind) ^ key.pair);
  }
  return hash;
}

template <class Index>
void TapeBuilder<Index>::build_table() {
  hashing_ = true;
  for (size_t s = 0; s < t_.shapes.size(); ++s) {
    const auto& shape = t_.shapes[s];
    // The shapes are distinct: each takes a free slot.
    TableSlot* entry =
        table_
            .insert(
                shape_hash(shape, table_.key()), [](const TableSlot&) { return false; },
                [&](const HashKey& key) { return shape_hash(shape, key); }, rehash_slot())
            .first;
    *entry = TableSlot{shape_hash(shape, table_.key()), static_cast<Index>(s + 1)};
  }
}

template <class Index>
Index TapeBuilder<Index>::add_shape(const Member* m, Index n) {
  const auto id = static_cast<Index>(t_.shapes.size());
  Shape<Index> s{static_cast<Index>(t_.shape_members.size()), n, Tape<Index>::NONE, n};
  for (Index k = 0; k < n; ++k) {
    t_.shape_members.push_back(ShapeMember{m[k].key, t_.tag(m[k].value)});
  }
  const ShapeMember* sm = t_.shape_members.data() + s.members;
  // Keys compare by their first eight bytes as one big-endian number, then by the rest; the
  // sort moves (prefix, ordinal) pairs, so most comparisons touch nothing else.
  sort_keys_.resize(n);
  for (Index k = 0; k < n; ++k) sort_keys_[k] = SortKey{key_prefix(sm[k].key), k};
  auto compare = [sm](const SortKey& a, const SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    return sm[a.ordinal].key.compare(sm[b.ordinal].key);
  };
  SortKey* o = sort_keys_.data();
  const size_t sorted = ascending_prefix(o, n, compare);
  if (sorted < n) {
    // Sorted once per shape. A few members take an insertion sort, without the set-up of a
    // general sort.
    const size_t kept = order_keys<16>(o, n, compare, sorted);
    s.perm = static_cast<Index>(t_.perms.size());
    s.unique = static_cast<Index>(kept);
    for (size_t k = 0; k < kept; ++k) t_.perms.push_back(o[k].ordinal);
  }
  t_.shapes.push_back(s);
  return id;
}

template <class Index>
inline void TapeBuilder<Index>::end_object() {
  const Frame& f = frames_[--depth_];
  const Member* m = members_.data() + f.members;
  const auto n = static_cast<Index>(members_.size() - f.members);
  const Index id = find_shape(m, n);
  members_.resize(f.members);
  TapeSlot<Index>& slot = t_.nodes.slot(f.node);
  slot.a = id;
  slot.b = static_cast<Index>(t_.size());
}

template <class Index>
Status TapeBuilder<Index>::read(std::string_view text) {
  // Generous on purpose: capacity never touched costs address space, not memory. Number-dense
  // text needs about one node per four bytes; beyond the estimate the arrays grow in place.
  t_.nodes.reserve(text.size() / 4 + 16);
  depth_ = 0;
  members_.clear();
  JsonParser<TapeBuilder> parser(text, *this);
  if (parser.parse()) return {};
  return FormatError{std::move(parser.error())};
}

template class TapeBuilder<uint32_t>;
template class TapeBuilder<uint64_t>;

}  // namespace vorn

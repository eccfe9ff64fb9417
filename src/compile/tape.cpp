#include "compile/tape.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "compile/json_parser.h"
#include "compile/view_map.h"

namespace vorn {

namespace {

// Builds a Tape for the shared parser.
class TapeBuilder {
 public:
  TapeBuilder(Tape& tape, size_t text_size) : t_(tape) {
    // Generous on purpose: pages never touched cost address space, not memory, while a
    // reallocation would hold the old and the new array at once. Number-dense text needs about
    // one node per four bytes.
    t_.nodes.reserve(text_size / 4 + 16);
    members_.reserve(256);
    table_.resize(64);
    predicted_.fill(0);
  }

  void null_value() { add(TapeKind::Null, 0, 0); }
  void bool_value(bool b) { add(b ? TapeKind::True : TapeKind::False, 0, 0); }
  void number_value(NumberForm form, uint64_t bits) {
    add(form == NumberForm::Unsigned   ? TapeKind::Unsigned
        : form == NumberForm::Negative ? TapeKind::Negative
                                       : TapeKind::Float,
        0, bits);
  }
  void string_value(std::string_view s) {
    ++t_.strings;
    add(TapeKind::String, saturate(s.size()), reinterpret_cast<uintptr_t>(s.data()));
  }
  // Keys take no node: the member list of the open objects holds them with the index of the
  // value node that follows.
  void key(std::string_view k) {
    members_.push_back(Member{k, static_cast<uint32_t>(t_.nodes.size())});
  }
  void begin_array() { open(TapeKind::Array); }
  void begin_object() { open(TapeKind::Object); }
  void end_array() {
    const Frame& f = frames_[--depth_];
    TapeNode& n = t_.nodes[f.node];
    n.size = f.count;
    n.data = t_.nodes.size();
  }
  void end_object();
  std::string& owned_string() { return t_.owned.emplace_back(); }

 private:
  struct Frame {
    uint32_t node;     // the container's node
    uint32_t count;    // values directly inside it so far
    uint32_t members;  // Object: where its members start in members_
  };

  static uint32_t saturate(size_t n) noexcept {
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
  }
  void add(TapeKind k, uint32_t size, uint64_t data) {
    if (depth_ > 0) ++frames_[depth_ - 1].count;
    t_.nodes.push_back(TapeNode{k, size, data});
  }
  void open(TapeKind k) {
    const auto at = static_cast<uint32_t>(t_.nodes.size());
    add(k, 0, 0);
    frames_[depth_++] = Frame{at, 0, static_cast<uint32_t>(members_.size())};
  }

  struct Member {
    std::string_view key;
    uint32_t value;  // the index of its value's node
  };

  bool matches(const Shape& s, const Member* m, uint32_t n) const noexcept;
  uint32_t find_shape(const Member* m, uint32_t n);
  uint32_t add_shape(const Member* m, uint32_t n, uint64_t hash);

  Tape& t_;
  std::vector<Member> members_;  // the members of the open objects
  std::array<Frame, MAX_JSON_NESTING> frames_{};
  size_t depth_ = 0;
  // Shapes by hash: open addressing over (hash, shape id + 1), 0 marking a free slot.
  std::vector<std::pair<uint64_t, uint32_t>> table_;
  // The shape last seen for a depth and member count, + 1: objects in arrays of records mostly
  // repeat it, and a hit spares the hash.
  std::array<uint32_t, 256> predicted_;
  struct SortKey {
    uint64_t prefix;
    uint32_t ordinal;  // position in text order
  };
  std::vector<SortKey> sort_keys_;  // scratch for sorting the keys of a new shape
};

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

bool TapeBuilder::matches(const Shape& s, const Member* m, uint32_t n) const noexcept {
  if (s.count != n) return false;
  const ShapeMember* sm = t_.shape_members.data() + s.members;
  for (uint32_t k = 0; k < n; ++k) {
    if (sm[k].kind != tape_tag(t_.nodes[m[k].value]) || !bytes_equal(sm[k].key, m[k].key)) {
      return false;
    }
  }
  return true;
}

uint32_t TapeBuilder::find_shape(const Member* m, uint32_t n) {
  const size_t slot = (depth_ * 61 + n) & 255;
  if (const uint32_t p = predicted_[slot]; p != 0 && matches(t_.shapes[p - 1], m, n)) {
    return p - 1;
  }
  uint64_t hash = n;
  for (uint32_t k = 0; k < n; ++k) {
    hash = mix_hash(hash ^ hash_bytes(m[k].key),
                    static_cast<uint64_t>(tape_tag(t_.nodes[m[k].value])));
  }
  const size_t mask = table_.size() - 1;
  size_t i = hash & mask;
  for (; table_[i].second != 0; i = (i + 1) & mask) {
    if (table_[i].first == hash && matches(t_.shapes[table_[i].second - 1], m, n)) {
      predicted_[slot] = table_[i].second;
      return table_[i].second - 1;
    }
  }
  const uint32_t id = add_shape(m, n, hash);
  predicted_[slot] = id + 1;
  return id;
}

uint32_t TapeBuilder::add_shape(const Member* m, uint32_t n, uint64_t hash) {
  const auto id = static_cast<uint32_t>(t_.shapes.size());
  Shape s{static_cast<uint32_t>(t_.shape_members.size()), n, NO_ORDER, n};
  for (uint32_t k = 0; k < n; ++k) {
    t_.shape_members.push_back(ShapeMember{m[k].key, tape_tag(t_.nodes[m[k].value])});
  }
  const ShapeMember* sm = t_.shape_members.data() + s.members;
  // Keys compare by their first eight bytes as one big-endian number, then by the rest; the
  // sort moves (prefix, ordinal) pairs, so most comparisons touch nothing else.
  sort_keys_.resize(n);
  for (uint32_t k = 0; k < n; ++k) sort_keys_[k] = SortKey{key_prefix(sm[k].key), k};
  auto compare = [sm](const SortKey& a, const SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    return sm[a.ordinal].key.compare(sm[b.ordinal].key);
  };
  SortKey* o = sort_keys_.data();
  uint32_t k = 1;
  while (k < n && compare(o[k - 1], o[k]) < 0) ++k;
  if (k < n) {
    // Sorted once per shape; equal keys keep text order, so the last of a run wins.
    std::sort(o, o + n, [&compare](const SortKey& a, const SortKey& b) {
      const int c = compare(a, b);
      return c < 0 || (c == 0 && a.ordinal < b.ordinal);
    });
    s.perm = static_cast<uint32_t>(t_.perms.size());
    s.unique = 0;
    for (k = 0; k < n; ++k) {
      if (k + 1 < n && compare(o[k], o[k + 1]) == 0) continue;
      t_.perms.push_back(o[k].ordinal);
      ++s.unique;
    }
  }
  t_.shapes.push_back(s);
  if ((t_.shapes.size() + 1) * 2 > table_.size()) {
    std::vector<std::pair<uint64_t, uint32_t>> old(table_.size() * 2);
    old.swap(table_);
    const size_t mask = table_.size() - 1;
    for (const auto& e : old) {
      if (e.second == 0) continue;
      size_t i = e.first & mask;
      while (table_[i].second != 0) i = (i + 1) & mask;
      table_[i] = e;
    }
  }
  const size_t mask = table_.size() - 1;
  size_t i = hash & mask;
  while (table_[i].second != 0) i = (i + 1) & mask;
  table_[i] = {hash, id + 1};
  return id;
}

void TapeBuilder::end_object() {
  const Frame& f = frames_[--depth_];
  const Member* m = members_.data() + f.members;
  const auto n = static_cast<uint32_t>(members_.size() - f.members);
  const uint32_t id = find_shape(m, n);
  const Shape& s = t_.shapes[id];
  uint32_t order = NO_ORDER;
  if (s.perm != NO_ORDER) {
    order = static_cast<uint32_t>(t_.orders.size());
    t_.orders.resize(order + s.unique);
    const uint32_t* perm = t_.perms.data() + s.perm;
    uint32_t* out = t_.orders.data() + order;
    for (uint32_t k = 0; k < s.unique; ++k) out[k] = m[perm[k]].value;
  }
  members_.resize(f.members);
  TapeNode& node = t_.nodes[f.node];
  node.size = id;
  node.data = t_.nodes.size() | uint64_t{order} << 32;
}

}  // namespace

bool read_tape(std::string_view text, Tape& tape, std::string* error) {
  TapeBuilder builder(tape, text.size());
  JsonParser<TapeBuilder> parser(text, builder);
  if (parser.parse()) return true;
  *error = std::move(parser.error());
  return false;
}

}  // namespace vorn

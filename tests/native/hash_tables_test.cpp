// Every kind of hash table against keys built to collide under the fixed key of a build with
// VORN_FIXED_HASH_KEY: keys that agree in every bit of their hash, and keys that agree in their
// low bits. Work is bounded by counting probed slots, not by time: a table must stay within
// PROBES_PER_KEY_LOG probes per key and doubling of the keys, and still find every key after it
// has drawn a new key. A table keyed by a constant hash must still give the right answers.
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.h"
#include "compile/tape.h"
#include "compile/view_map.h"
#include "emit/emit_builder.h"
#include "format/bytes.h"
#include "format/hash_key.h"
#include "format/probe_table.h"

#if !defined(VORN_FIXED_HASH_KEY)
#error "the colliding keys are built against the fixed key: build with VORN_FIXED_HASH_KEY"
#endif

namespace {

using namespace std::string_view_literals;
using vorn::hash_bytes;
using vorn::HashKey;
using vorn::process_hash_key;

constexpr uint64_t PROBES_PER_KEY_LOG = 3;

// Whether `probes` is within the bound for n keys, each inserted once and looked up `rounds`
// times.
bool within_bound(uint64_t probes, size_t n, size_t rounds) {
  const uint64_t log = static_cast<uint64_t>(std::bit_width(n));
  const uint64_t bound = PROBES_PER_KEY_LOG * (rounds + 1) * n * log;
  std::printf("  %-46s %6zu keys %10" PRIu64 " probes (bound %" PRIu64 ")\n", current_case.c_str(),
              n, probes, bound);
  return probes <= bound;
}

// Keys of 32 bytes that collide in all 64 bits under the fixed key: with the first word equal
// to the key's block word, the block's product is zero whatever the second word (any ASCII
// here), which then does not change the hash.
std::vector<std::string> full_collisions(size_t n) {
  const uint64_t head = process_hash_key().block;
  std::vector<std::string> keys;
  for (size_t i = 0; i < n; ++i) {
    std::string k(8, '\0');
    for (size_t b = 0; b < 8; ++b) k[b] = static_cast<char>(head >> (8 * b));
    char middle[9];
    std::snprintf(middle, sizeof middle, "%08zx", i);
    k.append(middle, 8);
    k.append("0123456789abcdef");
    keys.push_back(std::move(k));
  }
  return keys;
}

// Short ASCII keys whose hashes under the fixed key agree in their low `bits` bits, found by
// trying; `alphabet` limits their bytes (the emit layouts hold item kinds 0 to 5).
std::vector<std::string> low_bit_collisions(size_t n, unsigned bits, std::string_view alphabet) {
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  std::vector<std::string> keys;
  std::string k;
  for (uint64_t i = 0; keys.size() < n; ++i) {
    k.clear();
    for (uint64_t v = i; k.size() < 12; v /= alphabet.size())
      k.push_back(alphabet[v % alphabet.size()]);
    if ((hash_bytes(k, process_hash_key()) & mask) == 0) keys.push_back(k);
  }
  return keys;
}

struct Family {
  const char* name;
  std::vector<std::string> keys;
  bool full;  // whether every key has the same hash
};

std::vector<Family> families() {
  std::vector<Family> out;
  out.push_back({"all 64 bits", full_collisions(20000), true});
  out.push_back({"low 12 bits", low_bit_collisions(3000, 12, "abcdefghijklmnopqrstuvwxyz"), false});
  return out;
}

void check_premise(const Family& f) {
  current_case = std::string("premise, ") + f.name;
  const uint64_t first = hash_bytes(f.keys[0], process_hash_key());
  size_t same = 0;
  for (const std::string& k : f.keys) same += hash_bytes(k, process_hash_key()) == first;
  CHECK(!f.full || same == f.keys.size());
}

// The compiler's string map: every key inserted once, found again by find and by a second
// insertion, also from hashes taken before the map drew its new key (as the compiler's
// look-ahead keeps them).
void view_map(const Family& f) {
  current_case = std::string("ViewMap, ") + f.name;
  vorn::ViewMap<uint32_t> map;
  std::vector<vorn::ViewHash> early;
  for (const std::string& k : f.keys) early.push_back(map.hash(k));
  for (size_t i = 0; i < f.keys.size(); ++i) {
    auto [value, inserted] = map.try_emplace(f.keys[i], early[i], static_cast<uint32_t>(i));
    CHECK(inserted && *value == i);
  }
  CHECK(map.size() == f.keys.size());
  for (size_t i = 0; i < f.keys.size(); ++i) {
    const uint32_t* found = map.find(f.keys[i]);
    CHECK(found != nullptr && *found == i);
    auto [value, inserted] = map.try_emplace(f.keys[i], early[i], 0);
    CHECK(!inserted && *value == i);
  }
  CHECK(map.find("absent") == nullptr);
  CHECK(within_bound(map.probes(), f.keys.size(), 2));
  CHECK(!f.full || map.rekeys() >= 1);
}

// Emit's dictionary, with its own hash and with one the caller supplies: first-seen order
// kept, every string found again.
void dictionary(const Family& f, bool supplied) {
  current_case = std::string("StringDictionary, ") + (supplied ? "supplied hash, " : "") + f.name;
  vorn::StringDictionary dict;
  // A supplied hash that never tells two strings apart: the caller's hash cannot be trusted.
  auto add = [&](const std::string& s) { return supplied ? dict.add(s, 42) : dict.add(s); };
  for (const std::string& k : f.keys) CHECK(add(k));
  // Equal bytes in other storage, so that the address table cannot answer.
  for (const std::string& k : f.keys) CHECK(!add(std::string(k)));
  CHECK(dict.strings().size() == f.keys.size());
  for (size_t i = 0; i < f.keys.size() && i < dict.strings().size(); ++i) {
    CHECK(dict.strings()[i] == f.keys[i]);
  }
  CHECK(within_bound(dict.probes(), f.keys.size(), 1));
  CHECK(!(f.full || supplied) || dict.rekeys() >= 1);
}

// The compiler's layout table: one-member objects whose keys collide, each layout twice.
void tape_shapes(const Family& f) {
  current_case = std::string("tape layouts, ") + f.name;
  std::string text = "[";
  for (int round = 0; round < 2; ++round) {
    for (const std::string& k : f.keys) {
      text += "{\"";
      for (const char c : k) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
        text += escaped;
      }
      text += "\":null},";
    }
  }
  text.back() = ']';
  vorn::Tape<uint32_t> tape;
  vorn::TapeBuilder<uint32_t> builder(tape, text.data(), text.size());
  CHECK(builder.read(text));
  CHECK(tape.shapes.size() == f.keys.size());
  CHECK(within_bound(builder.table_probes(), f.keys.size(), 1));
  CHECK(!f.full || builder.table_rekeys() >= 1);
}

// Emit's layout table: objects whose item kinds spell keys that agree in their low bits, each
// layout twice; a layout met again takes no new definition.
void emit_layouts() {
  current_case = "emit layouts, low 12 bits";
  const std::vector<std::string> layouts = low_bit_collisions(1500, 12, "\x00\x01\x02\x03\x05"sv);
  vorn::EmitBuilder b;
  b.begin_array();
  for (int round = 0; round < 2; ++round) {
    for (const std::string& kinds : layouts) {
      b.begin_object();
      for (const char kind : kinds) {
        switch (static_cast<vorn::ItemKind>(kind)) {
          case vorn::ItemKind::Bool:
            b.add_bool(true);
            break;
          case vorn::ItemKind::Int32:
            b.add_int32(1);
            break;
          case vorn::ItemKind::Float32:
            b.add_float32(0.5f);
            break;
          case vorn::ItemKind::String:
            b.add_string("s");
            break;
          default:
            b.begin_object();
            b.end_object();
        }
      }
      b.end_object();
    }
  }
  b.end_array();
  // The predefined six, the array's, the empty object's, one per layout.
  CHECK(b.definitions().count == 6 + 1 + 1 + layouts.size());
  CHECK(within_bound(b.table_probes(), layouts.size(), 1));
}

// The table itself under a hash that never tells keys apart: no key can help, so it gives up
// defending after its re-keyings and stays correct.
void constant_hash() {
  current_case = "ProbeTable, constant hash";
  struct Slot {
    uint64_t value;  // key + 1
    bool used() const noexcept { return value != 0; }
  };
  vorn::ProbeTable<Slot, 16, 75> table;
  constexpr uint64_t N = 2000;
  for (int round = 0; round < 2; ++round) {
    for (uint64_t k = 0; k < N; ++k) {
      auto [slot, inserted] = table.insert(
          7, [k](const Slot& s) { return s.value == k + 1; },
          [](const HashKey&) { return uint64_t{7}; }, [](Slot&, bool) { return uint64_t{7}; });
      CHECK(inserted == (round == 0));
      if (inserted) slot->value = k + 1;
    }
  }
  CHECK(table.size() == N);
  CHECK(table.rekeys() == decltype(table)::MAX_REKEYS);
  uint64_t sum = 0;
  table.for_each_used([&sum](Slot& s) { sum += s.value; });
  CHECK(sum == N * (N + 1) / 2);
}

}  // namespace

int main() {
  for (const Family& f : families()) {
    check_premise(f);
    view_map(f);
    dictionary(f, false);
    dictionary(f, true);
    tape_shapes(f);
  }
  emit_layouts();
  constant_hash();
  return check_verdict("hash_tables_test");
}

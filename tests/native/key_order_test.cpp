// The one key-order rule and the one small vector, against models. order_keys must give the keys
// a std::map of the last value per key gives, for every size on both sides of its insertion
// bound and for items that are ordinals or (prefix, ordinal) pairs; the fused compiler (the
// tape) and the reference chain (the JSON tree) must write the same bytes for objects with
// runs of equal keys; a SmallVector keeps its items across growth and moves. A plain main:
// prints each failed check and exits 1.
#include "format/key_order.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compile/compile.h"
#include "compile/compile_image.h"
#include "format/small_vector.h"

namespace {

int failures = 0;
std::string current_case;

#define CHECK(cond)                                                                     \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #cond, \
                   current_case.c_str());                                               \
      ++failures;                                                                       \
    }                                                                                   \
  } while (0)

// Keys of a few names, some sharing long prefixes and bytes above 0x7F, so that runs of equal
// keys are common and the 8-byte prefixes of the tape's kind of item often tie.
std::vector<std::string> random_keys(std::mt19937& rng, size_t n) {
  static const char* const NAMES[] = {"",         "a",         "b",         "ab",
                                      "abcdefgh", "abcdefghi", "abcdefghj", "abcdefgh\xff",
                                      "\xc3\xa9", "z",         "zz",        "abcdefg"};
  const size_t names = 1 + rng() % (sizeof NAMES / sizeof NAMES[0]);
  std::vector<std::string> keys(n);
  for (std::string& k : keys) k = NAMES[rng() % names];
  return keys;
}

// The text positions of the winners, in the order the rule gives them.
std::vector<size_t> model(const std::vector<std::string>& keys) {
  std::map<std::string, size_t> last;  // std::string compares as unsigned bytes
  for (size_t i = 0; i < keys.size(); ++i) last[keys[i]] = i;
  std::vector<size_t> out;
  for (const auto& [key, at] : last) out.push_back(at);
  return out;
}

struct PrefixItem {
  uint64_t prefix;
  uint32_t ordinal;
};

uint64_t prefix_of(std::string_view key) {
  uint64_t p = 0;
  for (size_t i = 0; i < 8; ++i) {
    p = p << 8 | (i < key.size() ? static_cast<uint8_t>(key[i]) : 0U);
  }
  return p;
}

template <size_t INSERTION_MAX>
void ordinals_match_model(const std::vector<std::string>& keys) {
  std::vector<uint32_t> items(keys.size());
  for (size_t i = 0; i < items.size(); ++i) items[i] = static_cast<uint32_t>(i);
  const auto compare = [&keys](uint32_t a, uint32_t b) { return keys[a].compare(keys[b]); };
  const size_t sorted = vorn::ascending_prefix(items.data(), items.size(), compare);
  const size_t kept = vorn::order_keys<INSERTION_MAX>(items.data(), items.size(), compare, sorted);
  const std::vector<size_t> expected = model(keys);
  CHECK(kept == expected.size());
  for (size_t k = 0; k < kept && k < expected.size(); ++k) CHECK(items[k] == expected[k]);
}

void pairs_match_model(const std::vector<std::string>& keys) {
  std::vector<PrefixItem> items(keys.size());
  for (size_t i = 0; i < items.size(); ++i) {
    items[i] = PrefixItem{prefix_of(keys[i]), static_cast<uint32_t>(i)};
  }
  const auto compare = [&keys](const PrefixItem& a, const PrefixItem& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    return keys[a.ordinal].compare(keys[b.ordinal]);
  };
  const size_t kept = vorn::order_keys<16>(items.data(), items.size(), compare);
  const std::vector<size_t> expected = model(keys);
  CHECK(kept == expected.size());
  for (size_t k = 0; k < kept && k < expected.size(); ++k) CHECK(items[k].ordinal == expected[k]);
}

void order_keys_matches_model() {
  std::mt19937 rng(20261208);
  for (size_t n = 0; n <= 48; ++n) {
    for (int round = 0; round < 40; ++round) {
      current_case = "order_keys n=" + std::to_string(n) + " round " + std::to_string(round);
      const std::vector<std::string> keys = random_keys(rng, n);
      ordinals_match_model<0>(keys);
      ordinals_match_model<16>(keys);
      ordinals_match_model<64>(keys);
      pairs_match_model(keys);
    }
  }
}

bool same_bytes(const vorn::ByteBuffer& a, const vorn::ByteBuffer& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

void fused_and_reference_agree() {
  std::mt19937 rng(7);
  for (const size_t n : std::vector<size_t>{2, 3, 8, 15, 16, 17, 18, 33, 40, 64}) {
    for (int round = 0; round < 20; ++round) {
      current_case = "dumps n=" + std::to_string(n) + " round " + std::to_string(round);
      const std::vector<std::string> keys = random_keys(rng, n);
      std::string text = "[";
      for (int copy = 0; copy < 2; ++copy) {  // the second object reuses the first one's layout
        text += copy == 0 ? "{" : ", {";
        for (size_t i = 0; i < n; ++i) {
          if (i != 0) text += ", ";
          std::string key;
          for (const char c : keys[i]) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x",
                          static_cast<unsigned>(static_cast<uint8_t>(c)));
            key += static_cast<uint8_t>(c) < 0x80 ? std::string(1, c) : std::string(buf);
          }
          text += "\"" + key + "\": " + std::to_string(i);
        }
        text += "}";
      }
      text += "]";
      auto fused = vorn::compile_image(text);
      auto reference = vorn::reference_image(text);
      CHECK(fused && reference);
      if (fused && reference) CHECK(same_bytes(*fused, *reference));
    }
  }
}

void small_vector_keeps_items() {
  current_case = "small vector";
  vorn::SmallVector<uint32_t, 4> v;
  for (uint32_t i = 0; i < 100; ++i) v.push_back(i);
  // push_back of one of its own items while it grows
  v.truncate(4);
  v.push_back(v[1]);
  CHECK(v.size() == 5 && v[4] == 1 && v[3] == 3);
  vorn::SmallVector<uint32_t, 4> moved(std::move(v));
  CHECK(v.empty() && moved.size() == 5 && moved[0] == 0 && moved[4] == 1);
  vorn::SmallVector<uint32_t, 4> small;
  small.push_back(9);
  moved = std::move(small);
  CHECK(small.empty() && moved.size() == 1 && moved[0] == 9);
  moved.zero_fill(1000);
  bool zero = moved.size() == 1000;
  for (const uint32_t x : moved) zero = zero && x == 0;
  CHECK(zero);
  moved.push_back(5);
  CHECK(moved.size() == 1001 && moved.back() == 5);
}

}  // namespace

int main() {
  order_keys_matches_model();
  fused_and_reference_agree();
  small_vector_keeps_items();
  if (failures != 0) {
    std::fprintf(stderr, "key_order_test: %d checks failed\n", failures);
    return 1;
  }
  std::printf("key_order_test: all checks held\n");
  return 0;
}

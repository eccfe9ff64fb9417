// Arbitrary bytes as a stream of emit items: containers opened and closed, bools, Int32 bits,
// Float32 bits (infinities and NaNs included), strings new, repeated in the same storage, copied
// into other storage, empty, and long ones around the limits of the string forms; a few items
// stand for whole values (many distinct object layouts, wide dicts, long lists). The stream goes
// to the fast EmitBuilder (payload in a plain malloc buffer) and, as the Python value reader
// would give it, to a Value tree for the reference chain. Both must give the same bytes or the
// same message, and whatever image they give must decode and decompile.
#include <cstdint>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decode/decode.h"
#include "decompile/decompile.h"
#include "emit/emit_builder.h"
#include "emit/emit_document.h"
#include "emit/emit_image.h"
#include "format/bytes.h"
#include "format/hash_key.h"
#include "fuzz_support.h"

namespace {

using vorn::Value;

// The fuzz bytes, read front to back; zeros once they run out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const noexcept { return p_ == end_; }
  uint8_t byte() noexcept { return p_ == end_ ? 0 : *p_++; }
  uint16_t u16() noexcept { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() noexcept { return u16() | static_cast<uint32_t>(u16()) << 16; }
  uint64_t u64() noexcept { return u32() | static_cast<uint64_t>(u32()) << 32; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// Float32 bit patterns worth meeting often: infinities, NaNs of both signs and with payloads,
// zeros, the extremes.
constexpr uint32_t SPECIAL_FLOATS[] = {0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC00000,
                                       0x7F800001, 0xFFFFFFFF, 0x00000000, 0x80000000,
                                       0x7F7FFFFF, 0xFF7FFFFF, 0x00000001, 0x3F800000};

// Lengths on both sides of the limits of the short and medium string forms, and beyond.
constexpr size_t LONG_LENGTHS[] = {126, 127, 128, 129, 255, 256, 16382, 16383, 16384, 16385, 70000};

// The largest string every form can hold, and one byte more; each costs tens of megabytes, so
// one input makes one of them at most.
constexpr size_t HUGE_LENGTHS[] = {vorn::MAX_INLINE_STRING_LEN, vorn::MAX_INLINE_STRING_LEN + 1};

// Feeds one value to the builder and builds the Value tree that the Python value reader would
// give for it: an Object's items alternate key strings and values, every definition index 0.
class Driver {
 public:
  Driver(Input& in, vorn::EmitBuilder& builder, bool weak_hash)
      : in_(in), b_(builder), weak_hash_(weak_hash) {}

  // Reads items until the root value is complete; containers still open when the input ends
  // are closed. Returns the root, or nothing for an input without a value.
  std::optional<Value> run() {
    while (!root_ && !in_.empty()) step();
    while (!stack_.empty()) close();
    return std::move(root_);
  }

 private:
  struct Open {
    bool object = false;
    std::vector<Value> items;
  };

  bool at_key() const noexcept {
    return !stack_.empty() && stack_.back().object && stack_.back().items.size() % 2 == 0;
  }

  void step() {
    const uint8_t op = in_.byte();
    if (at_key()) {
      // A dict key: a str, or the end of the dict.
      if (op % 8 == 0) {
        close();
      } else {
        string_item(op / 8);
      }
      return;
    }
    switch (op % 16) {
      case 0:
      case 1:
        open(false);
        return;
      case 2:
        open(true);
        return;
      case 3:
        if (!stack_.empty()) {
          close();
          return;
        }
        add_bool(true);
        return;
      case 4:
        add_bool((op & 0x10) != 0);
        return;
      case 5:
        add_int(in_.u32());
        return;
      case 6:
        add_int(static_cast<uint32_t>(static_cast<int8_t>(in_.byte())));
        return;
      case 7:
        add_float(in_.u32());
        return;
      case 8:
        add_float(SPECIAL_FLOATS[in_.byte() % std::size(SPECIAL_FLOATS)]);
        return;
      case 9:
        add_double(std::bit_cast<double>(in_.u64()));
        return;
      case 10:
      case 11:
        string_item(op / 16);
        return;
      case 12:
        distinct_layouts(count({2040, 2041, 2042, 2043}, 64));
        return;
      case 13:
        wide_dict(count({127, 128, 129, 32767, 32768}, 200), in_.byte());
        return;
      case 14:
        long_list(count({65535, 65536}, 300), in_.byte());
        return;
      default:
        nest(in_.byte() % 140);
        return;
    }
  }

  // A count for the items that stand for whole values: mostly below `small`, which keeps a run
  // quick, and now and then one of the `limits` around the format's and the decoder's limits.
  size_t count(std::initializer_list<size_t> limits, size_t small) {
    const uint8_t pick = in_.byte();
    if (pick < 0xF0) return in_.u16() % small;
    return limits.begin()[pick % limits.size()];
  }

  // A str item: new, the same str again (same storage), an equal str in other storage, empty,
  // or long.
  void string_item(uint8_t how) {
    switch (how % 6) {
      case 0:
      case 1:
        add_string(new_string(text(in_.byte() % 24)));
        return;
      case 2:
        if (pool_.empty()) break;
        add_string(pool_[in_.byte() % pool_.size()]);
        return;
      case 3:
        if (pool_.empty()) break;
        add_string(new_string(pool_[in_.byte() % pool_.size()]));
        return;
      case 4:
        add_string(new_string(std::string()));
        return;
      default:
        add_string(new_string(long_text()));
        return;
    }
    add_string(new_string(text(in_.byte() % 4)));
  }

  // Valid UTF-8 of n characters: ASCII mostly, some of two, three and four bytes.
  std::string text(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t c = in_.byte();
      if (c < 0xC0) {
        s.push_back(static_cast<char>(c & 0x7F));
      } else if (c < 0xE0) {
        s += "\xC3\xA9";
      } else if (c < 0xF0) {
        s += "\xE2\x82\xAC";
      } else {
        s += "\xF0\x9D\x84\x9E";
      }
    }
    return s;
  }

  std::string long_text() {
    const uint8_t pick = in_.byte();
    size_t n = LONG_LENGTHS[pick % std::size(LONG_LENGTHS)];
    if (pick >= 0xFE && !huge_made_) {
      huge_made_ = true;
      n = HUGE_LENGTHS[pick & 1];
    }
    return std::string(n, static_cast<char>('a' + in_.byte() % 26));
  }

  // Keeps a str alive, at a fixed address, for the whole call.
  const std::string& new_string(std::string s) { return pool_.emplace_back(std::move(s)); }

  uint64_t hash(std::string_view s) const noexcept {
    // The weak hash has 1024 values only, spread over all the bits, so that distinct strings often
    // share one, which the dictionary must survive (and a big dict still interns in good time).
    const uint64_t h = vorn::hash_bytes(s, vorn::process_hash_key());
    return weak_hash_ ? (h & 0x3FF) * 0x9E3779B97F4A7C15ull : h;
  }

  void add(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
    } else {
      stack_.back().items.push_back(std::move(v));
    }
  }
  void add_bool(bool v) {
    b_.add_bool(v);
    add(Value::make_bool(v));
  }
  void add_int(uint32_t bits) {
    b_.add_int32(bits);
    add(Value::int32(static_cast<int32_t>(bits)));
  }
  void add_float(uint32_t bits) {
    const float f = std::bit_cast<float>(bits);
    b_.add_float32(f);
    add(Value::float32(f));
  }
  // A Python float: the builder narrows it itself; the tree holds it narrowed as the reader
  // narrows it.
  void add_double(double d) {
    b_.add_double(d);
    add(Value::float32(vorn::narrow_to_float(d)));
  }
  void add_string(const std::string& s) {
    b_.add_string(s, hash(s));
    add(Value::string(s));
  }

  // The reader refuses a container inside 128 others.
  bool can_open(size_t levels = 1) const noexcept {
    return stack_.size() + levels <= vorn::MAX_DEPTH;
  }
  void open(bool object) {
    if (!can_open()) {
      add_bool(false);
      return;
    }
    if (object) {
      b_.begin_object();
    } else {
      b_.begin_array();
    }
    stack_.push_back(Open{object, {}});
  }
  void close() {
    // A dict's last key gets its value.
    if (stack_.back().object && stack_.back().items.size() % 2 != 0) add_bool(false);
    Open top = std::move(stack_.back());
    stack_.pop_back();
    if (top.object) {
      b_.end_object();
      add(Value::object(0, std::move(top.items)));
    } else {
      b_.end_array();
      add(Value::array(0, 0, std::move(top.items)));
    }
  }

  // `levels` lists inside each other around an Int32.
  void nest(size_t levels) {
    size_t opened = 0;
    for (; opened < levels && can_open(); ++opened) open(false);
    add_int(static_cast<uint32_t>(levels));
    for (; opened > 0; --opened) close();
  }

  // A list of `count` dicts of as many layouts: dict i has a key and a bool or int value per
  // bit of i below its highest.
  void distinct_layouts(size_t count) {
    if (!can_open(2)) {
      add_int(0);
      return;
    }
    open(false);
    for (size_t i = 1; i <= count; ++i) {
      open(true);
      for (size_t bit = 0; (i >> (bit + 1)) != 0; ++bit) {
        add_string(key(bit));
        if ((i >> bit & 1) != 0) {
          add_int(static_cast<uint32_t>(i));
        } else {
          add_bool(true);
        }
      }
      close();
    }
    close();
  }

  // A dict of `entries` entries: 2 * entries fields.
  void wide_dict(size_t entries, uint8_t value_kind) {
    if (!can_open()) {
      add_int(0);
      return;
    }
    open(true);
    for (size_t i = 0; i < entries; ++i) {
      add_string(key(i));
      if (value_kind % 3 == 0) {
        add_int(static_cast<uint32_t>(i));
      } else if (value_kind % 3 == 1) {
        add_float(i == 0 && value_kind > 0x80 ? 0x7F800000u : 0x3F800000u);
      } else {
        add_string(key(i % 7));
      }
    }
    close();
  }

  // A list of `count` items of one kind, or Int32 and Float32 taking turns.
  void long_list(size_t count, uint8_t item_kind) {
    if (!can_open()) {
      add_int(0);
      return;
    }
    open(false);
    for (size_t i = 0; i < count; ++i) {
      switch (item_kind % 4) {
        case 0:
          add_int(static_cast<uint32_t>(i));
          break;
        case 1:
          add_bool(i % 2 == 0);
          break;
        case 2:
          add_string(key(i % 5));
          break;
        default:
          if (i % 2 == 0) {
            add_int(static_cast<uint32_t>(i) * 16777217u);
          } else {
            add_float(0x3FC00000);
          }
          break;
      }
    }
    close();
  }

  // Keys "k0", "k1", ...: each made once and then repeated in its storage.
  const std::string& key(size_t i) {
    while (keys_.size() <= i) keys_.push_back(&new_string("k" + std::to_string(keys_.size())));
    return *keys_[i];
  }

  Input& in_;
  vorn::EmitBuilder& b_;
  bool weak_hash_;
  std::vector<Open> stack_;
  std::optional<Value> root_;
  std::deque<std::string> pool_;  // a deque never moves its strings
  std::vector<const std::string*> keys_;
  bool huge_made_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const bool weak_hash = (in.byte() & 1) != 0;
  vorn::EmitBuilder builder;
  Driver driver(in, builder, weak_hash);
  const std::optional<Value> root = driver.run();
  if (!root) return 0;

  auto fast = vorn::finish_image(builder);
  auto reference = vorn::emit_reference_image(*root);
  if (!reference) {
    VORN_FUZZ_CHECK(!fast && fast.error().message == reference.error().message);
    return 0;
  }
  VORN_FUZZ_CHECK(fast && *fast == reference->size());
  VORN_FUZZ_CHECK(std::memcmp(builder.payload().data(), reference->data(), *fast) == 0);

  // Whatever a writer returns, loads reads.
  auto decoded = vorn::decode_document(std::span<const uint8_t>(reference->data(), *fast));
  VORN_FUZZ_CHECK(decoded);
  VORN_FUZZ_CHECK(vorn::decompile_document(*decoded));
  return 0;
}

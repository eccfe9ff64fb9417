// The payload tree that emit builds from a Python value: one contiguous array of small nodes in
// pre-order, which is also the order in which the payload is written. Free of Python.
//
// A container is followed by its items, each item by its own subtree, so the items of the
// container at `i` are found by starting at i + 1 and stepping to `end` of each item. A string
// node holds the position of its text in the builder's dictionary.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "format/format.h"

namespace vorn {

struct EmitNode {
  ValueKind kind = ValueKind::Null;  // Bool, Int32, Float32, String, Array or Object
  uint16_t def = 0;                  // a container's definition id; 0 until the builder has run
  uint32_t bits = 0;  // Bool 0 or 1, Int32 or Float32 bits; a container's item count; a
                      // string's position in the dictionary
  uint32_t end = 0;   // index one past this node's subtree
};

// A growable array of trivially copyable values on malloc/realloc: growth moves large blocks
// without copying them where the allocator can remap, and nothing is zero-filled first.
// Allocation failure throws std::bad_alloc.
template <class T>
class PodVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodVector() = default;
  PodVector(const PodVector&) = delete;
  PodVector& operator=(const PodVector&) = delete;
  ~PodVector() { std::free(data_); }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  T& push_back(const T& v) {
    if (size_ == cap_) grow();
    data_[size_] = v;
    return data_[size_++];
  }

 private:
  void grow() {
    const size_t cap = cap_ == 0 ? 256 : cap_ * 2;
    if (cap > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* p = std::realloc(data_, cap * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    cap_ = cap;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

using EmitTree = PodVector<EmitNode>;

// Rounds a double to binary32, nearest and ties to even. Magnitudes from the midpoint between
// the largest float and 2^128 on become infinities (the tie goes to the even neighbour, which is
// 2^128); NaN stays NaN. The explicit test keeps the out-of-range conversion, which C++ leaves
// undefined, from ever being made.
inline float to_float32(double d) noexcept {
  constexpr double OVERFLOW_FROM = 0x1.ffffffp127;
  constexpr float INF = std::numeric_limits<float>::infinity();
  if (d >= OVERFLOW_FROM) return INF;
  if (d <= -OVERFLOW_FROM) return -INF;
  return static_cast<float>(d);
}

inline uint32_t float_bits(float f) noexcept { return std::bit_cast<uint32_t>(f); }

}  // namespace vorn

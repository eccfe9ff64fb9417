// A vector of trivially copyable items whose first N items live inside the object itself: a
// document of a few values needs no allocation at all, and a larger one grows on the heap as a
// std::vector would (by realloc once there). Not copyable: a copy of a large table is never meant.
// A move takes a heap block over and copies the inline items. Allocation failure throws
// std::bad_alloc. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace vorn {

template <class T, size_t N>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "items are moved with memcpy and never destroyed");
  static_assert(N > 0);

 public:
  SmallVector() noexcept = default;
  SmallVector(const SmallVector&) = delete;
  SmallVector& operator=(const SmallVector&) = delete;
  SmallVector(SmallVector&& o) noexcept { take(o); }
  SmallVector& operator=(SmallVector&& o) noexcept {
    if (this != &o) {
      release();
      take(o);
    }
    return *this;
  }
  ~SmallVector() { release(); }

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& operator[](size_t i) noexcept { return data()[i]; }
  const T& operator[](size_t i) const noexcept { return data()[i]; }
  T& front() noexcept { return data()[0]; }
  T& back() noexcept { return data()[size_ - 1]; }
  const T& back() const noexcept { return data()[size_ - 1]; }

  void reserve(size_t n) {
    if (n > cap_) grow_to(n);
  }
  void push_back(const T& v) {
    if (size_ == cap_) [[unlikely]] {
      // `v` may be an item of this vector, which growing moves.
      const T copy = v;
      grow_to(size_ + 1);
      data()[size_++] = copy;
      return;
    }
    data()[size_++] = v;
  }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == cap_) [[unlikely]]
      grow_to(size_ + 1);
    T* slot = data() + size_;
    ::new (static_cast<void*>(slot)) T{std::forward<Args>(args)...};
    ++size_;
    return *slot;
  }
  // Appends n items from `items`, which must not lie in this vector.
  void append(const T* items, size_t n) {
    reserve(size_ + n);
    if (n != 0) std::memcpy(static_cast<void*>(data() + size_), items, n * sizeof(T));
    size_ += n;
  }
  // Makes room for n more items and returns where they go; the caller writes all n of them.
  T* extend(size_t n) {
    if (cap_ - size_ < n) [[unlikely]]
      grow_to(size_ + n);
    T* p = data() + size_;
    size_ += n;
    return p;
  }
  // Drops the items after the first n (n at most size()).
  void truncate(size_t n) noexcept { size_ = n; }
  // n items of all-zero bytes, which must be a valid value of T. The items held before are
  // dropped, not moved: a larger block is allocated afresh, already zeroed.
  void zero_fill(size_t n) {
    if (n > cap_) {
      constexpr size_t MAX_ITEMS = SIZE_MAX / 2 / sizeof(T);
      if (n > MAX_ITEMS) throw std::bad_alloc();
      void* block = std::calloc(n, sizeof(T));
      if (block == nullptr) throw std::bad_alloc();
      release();
      data_ = static_cast<T*>(block);
      cap_ = n;
    } else if (n != 0) {
      std::memset(static_cast<void*>(data()), 0, n * sizeof(T));
    }
    size_ = n;
  }
  void pop_back() noexcept { --size_; }
  void clear() noexcept { size_ = 0; }
  // Shrinks, or grows with copies of `v`. A shrink costs no more than truncate, which hot loops
  // rely on.
  void resize(size_t n, const T& v = T{}) {
    if (n > size_) {
      reserve(n);
      T* d = data();
      for (size_t i = size_; i < n; ++i) d[i] = v;
    }
    size_ = n;
  }
  void assign(size_t n, const T& v) {
    clear();
    resize(n, v);
  }

 private:
  T* inline_items() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_items() const noexcept {
    return std::launder(reinterpret_cast<const T*>(inline_));
  }

  [[gnu::noinline]] void grow_to(size_t need) {
    constexpr size_t MAX_ITEMS = SIZE_MAX / 2 / sizeof(T);
    if (need > MAX_ITEMS) throw std::bad_alloc();
    size_t cap = cap_ * 2;
    if (cap < need) cap = need;
    if (cap > MAX_ITEMS) cap = MAX_ITEMS;
    void* block;
    if (on_heap()) {
      block = std::realloc(data_, cap * sizeof(T));
      if (block == nullptr) throw std::bad_alloc();
    } else {
      block = std::malloc(cap * sizeof(T));
      if (block == nullptr) throw std::bad_alloc();
      if (size_ != 0) std::memcpy(block, inline_, size_ * sizeof(T));
    }
    data_ = static_cast<T*>(block);
    cap_ = cap;
  }

  bool on_heap() const noexcept { return data_ != inline_items(); }
  void release() noexcept {
    if (on_heap()) std::free(data_);
    data_ = inline_items();
    size_ = 0;
    cap_ = N;
  }
  // Leaves `o` empty.
  void take(SmallVector& o) noexcept {
    size_ = o.size_;
    cap_ = o.cap_;
    if (o.on_heap()) {
      data_ = o.data_;
    } else {
      data_ = inline_items();
      if (size_ != 0) std::memcpy(inline_, o.inline_, size_ * sizeof(T));
    }
    o.data_ = o.inline_items();
    o.size_ = 0;
    o.cap_ = N;
  }

  T* data_ = inline_items();  // the inline store, or a heap block once the items outgrow it
  size_t size_ = 0;
  size_t cap_ = N;
  alignas(T) unsigned char inline_[N * sizeof(T)];
};

}  // namespace vorn

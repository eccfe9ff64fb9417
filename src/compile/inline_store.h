// Storage that starts inside its owner, so that the tables of a small document cost no
// allocation at all, and moves to the heap only when the document needs more. Neither copyable
// nor movable: both point into themselves. Allocation failure throws std::bad_alloc. Free of
// Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>

namespace vorn {

// A growable array of trivially copyable values whose first N elements live inside the object;
// past N it moves to malloc'd storage that grows geometrically (by realloc once on the heap).
template <class T, size_t N>
class InlineVec {
  static_assert(std::is_trivially_copyable_v<T> && N > 0);

 public:
  InlineVec() noexcept = default;
  InlineVec(const InlineVec&) = delete;
  InlineVec& operator=(const InlineVec&) = delete;
  ~InlineVec() { release(); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  void reserve(size_t n) {
    if (n > cap_) grow_to(n);
  }
  void push_back(const T& v) {
    if (size_ == cap_) [[unlikely]] {
      grow_to(cap_ * 2);
    }
    data_[size_++] = v;
  }
  // Shrinks, or grows with copies of `fill`.
  void resize(size_t n, const T& fill = T{}) {
    if (n > size_) {
      reserve(n);
      for (size_t i = size_; i < n; ++i) data_[i] = fill;
    }
    size_ = n;
  }
  // Makes room for n more elements and returns where they go; the caller writes all n of them.
  T* extend(size_t n) {
    if (cap_ - size_ < n) [[unlikely]] {
      grow_to(size_ + n);
    }
    T* p = data_ + size_;
    size_ += n;
    return p;
  }
  // n elements of all-zero bytes.
  void assign_zeroed(size_t n) {
    reserve(n);
    std::memset(static_cast<void*>(data_), 0, n * sizeof(T));
    size_ = n;
  }
  void append(const T* src, size_t n) {
    reserve(size_ + n);
    if (n != 0) std::memcpy(static_cast<void*>(data_ + size_), src, n * sizeof(T));
    size_ += n;
  }
  void clear() noexcept { size_ = 0; }
  // Gives heap storage back and empties the array.
  void release() noexcept {
    if (data_ != inline_data()) std::free(data_);
    data_ = inline_data();
    size_ = 0;
    cap_ = N;
  }

 private:
  T* inline_data() noexcept { return reinterpret_cast<T*>(inline_); }

  [[gnu::noinline]] void grow_to(size_t n) {
    if (n < cap_ * 2) n = cap_ * 2;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    T* block;
    if (data_ == inline_data()) {
      block = static_cast<T*>(std::malloc(n * sizeof(T)));
      if (block == nullptr) throw std::bad_alloc();
      if (size_ != 0) std::memcpy(static_cast<void*>(block), inline_, size_ * sizeof(T));
    } else {
      block = static_cast<T*>(std::realloc(static_cast<void*>(data_), n * sizeof(T)));
      if (block == nullptr) throw std::bad_alloc();
    }
    data_ = block;
    cap_ = n;
  }

  T* data_ = reinterpret_cast<T*>(inline_);
  size_t size_ = 0;
  size_t cap_ = N;
  alignas(T) unsigned char inline_[N * sizeof(T)];
};

// Copies of byte strings that stay where they are made for the arena's life: the first N bytes
// inside the object, the rest in blocks on malloc, each twice the size of the one before (or the
// size of the string, if larger).
template <size_t N>
class ByteArena {
 public:
  ByteArena() noexcept = default;
  ByteArena(const ByteArena&) = delete;
  ByteArena& operator=(const ByteArena&) = delete;
  ~ByteArena() {
    for (char* block : blocks_) std::free(block);
  }

  std::string_view copy(std::string_view s) {
    if (cap_ - used_ < s.size()) [[unlikely]] {
      new_block(s.size());
    }
    char* d = cur_ + used_;
    if (!s.empty()) std::memcpy(d, s.data(), s.size());
    used_ += s.size();
    return {d, s.size()};
  }

 private:
  [[gnu::noinline]] void new_block(size_t n) {
    const size_t size = n > next_ ? n : next_;
    blocks_.push_back(nullptr);  // room first, so that a failure below leaks nothing
    char* block = static_cast<char*>(std::malloc(size));
    if (block == nullptr) throw std::bad_alloc();
    blocks_.back() = block;
    cur_ = block;
    used_ = 0;
    cap_ = size;
    if (next_ < (size_t{1} << 24)) next_ *= 2;
  }

  char inline_[N];
  char* cur_ = inline_;
  size_t used_ = 0;
  size_t cap_ = N;
  size_t next_ = 4 * N;
  InlineVec<char*, 8> blocks_;
};

}  // namespace vorn

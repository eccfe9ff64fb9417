// Copies of byte strings that stay where they are made for the arena's life: the first N bytes
// inside the object, the rest in blocks on malloc, each twice the size of the one before (or the
// size of the string, if larger). Neither copyable nor movable: the copies may point into the
// object. Allocation failure throws std::bad_alloc. Free of Python.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "format/small_vector.h"

namespace vorn {

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
  SmallVector<char*, 8> blocks_;
};

}  // namespace vorn

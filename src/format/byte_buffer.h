// A growable byte buffer for writing images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "format/codec.h"

namespace vorn {

// Where the memory of a ByteBuffer comes from when it is not the buffer's own: storage that is
// finally handed out as it is (a Python bytes object, for one), so that the bytes are written
// in their final place.
class BufferProvider {
 public:
  // Gives storage of at least `need` bytes whose first `keep` bytes are those of the storage
  // given before (if any); returns it and sets `capacity`. Throws std::bad_alloc when it cannot.
  // The provider owns the storage; the buffer never frees it.
  virtual uint8_t* grow(size_t keep, size_t need, size_t& capacity) = 0;

 protected:
  ~BufferProvider() = default;
};

// A growable run of bytes: its own malloc'd block, or storage from a BufferProvider. Appends
// grow it geometrically; unlike std::vector nothing is zero-filled first. Allocation failure
// throws std::bad_alloc.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(BufferProvider& provider) : provider_(&provider) {}
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)),
        provider_(std::exchange(o.provider_, nullptr)) {}
  ByteBuffer& operator=(ByteBuffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
    std::swap(provider_, o.provider_);
    return *this;
  }
  ~ByteBuffer() {
    if (provider_ == nullptr && data_ != nullptr) std::free(data_);
  }

  const uint8_t* data() const noexcept { return data_; }
  uint8_t* data() noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

  void reserve(size_t n) {
    if (n > cap_) grow_to(n);
  }
  // Makes room for n more bytes and returns where they go; the caller writes all n of them.
  uint8_t* extend(size_t n) {
    if (cap_ - size_ < n) grow_to(size_ + n);
    uint8_t* p = data_ + size_;
    size_ += n;
    return p;
  }
  void resize(size_t n) {
    reserve(n);
    size_ = n;
  }

  void put_u8(uint8_t v) { *extend(1) = v; }
  void put_u32(uint32_t v) { vorn::put_u32(extend(4), v); }
  void patch_u16(size_t at, uint16_t v) { vorn::put_u16(data_ + at, v); }

 private:
  // Out of line: the appends that call it stay small where they are inlined.
  [[gnu::noinline]] void grow_to(size_t need) {
    size_t cap = cap_ < 64 ? 64 : cap_;
    while (cap < need) cap = cap > SIZE_MAX / 2 ? need : cap * 2;
    if (provider_ != nullptr) {
      data_ = provider_->grow(size_, cap, cap_);
      return;
    }
    void* p = std::realloc(data_, cap);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    cap_ = cap;
  }

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
  BufferProvider* provider_ = nullptr;
};

}  // namespace vorn

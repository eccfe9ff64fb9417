// Growable storage for an image whose memory comes from a provider, so that the image can be
// built straight in the object that is finally handed out. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "format/byte_buffer.h"

namespace vorn {

class ImageStorage {
 public:
  // Where the bytes live.
  class Provider {
   public:
    // Gives storage of at least `need` bytes whose first `keep` bytes are those of the storage
    // given before (if any); returns it and sets `capacity`. Throws std::bad_alloc when it
    // cannot.
    virtual uint8_t* grow(size_t keep, size_t need, size_t& capacity) = 0;

   protected:
    ~Provider() = default;
  };

  explicit ImageStorage(Provider& provider) : provider_(&provider) {}
  ImageStorage(const ImageStorage&) = delete;
  ImageStorage& operator=(const ImageStorage&) = delete;

  size_t size() const noexcept { return size_; }
  uint8_t* data() noexcept { return data_; }
  const uint8_t* data() const noexcept { return data_; }

  // Makes room for n more bytes and returns where they go; the caller writes all n of them.
  uint8_t* extend(size_t n) {
    if (cap_ - size_ < n) grow(size_ + n);
    uint8_t* p = data_ + size_;
    size_ += n;
    return p;
  }
  // Makes the capacity at least n bytes; the size stays.
  void reserve(size_t n) {
    if (n > cap_) data_ = provider_->grow(size_, n, cap_);
  }
  void put_u8(uint8_t v) { *extend(1) = v; }
  void put_u32(uint32_t v) { ByteBuffer::store_u32(extend(4), v); }
  void patch_u16(size_t at, uint16_t v) noexcept {
    data_[at] = static_cast<uint8_t>(v);
    data_[at + 1] = static_cast<uint8_t>(v >> 8);
  }

 private:
  void grow(size_t need) {
    size_t cap = cap_ < 32768 ? 32768 : cap_;  // untouched capacity costs no more than its address
    while (cap < need) {
      if (cap > SIZE_MAX / 2) throw std::bad_alloc();
      cap *= 2;
    }
    data_ = provider_->grow(size_, cap, cap_);
  }

  Provider* provider_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

}  // namespace vorn

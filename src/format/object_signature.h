// The lookup key that finds an object definition: per member in key order, the key's length as a
// u32, its bytes and the kind character of the member's value. The lengths keep it unambiguous
// whatever bytes the keys hold (a plain "name:kind,..." text would let the member "a:0,b" pass for
// the members "a" and "b"), and for every other member list it decides sharing exactly as that
// text would. Every compiler builds its keys here, so that the same members find the same
// definition. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "format/codec.h"
#include "format/format.h"

namespace vorn {

// Bytes that one member adds to a lookup key.
constexpr size_t signature_member_size(std::string_view key) noexcept { return 4 + key.size() + 1; }

// Appends one member to the lookup key `sig`: a std::string, or any buffer of char with an
// extend(n) that makes room for n more. Allocation failure throws std::bad_alloc.
template <class Buffer>
void append_signature_member(Buffer& sig, std::string_view key, TypeTag kind) {
  const size_t n = signature_member_size(key);
  char* p;
  if constexpr (requires { sig.extend(n); }) {
    p = sig.extend(n);
  } else {
    const size_t at = sig.size();
    sig.resize(at + n);
    p = sig.data() + at;
  }
  put_u32(reinterpret_cast<uint8_t*>(p), static_cast<uint32_t>(key.size()));
  if (!key.empty()) std::memcpy(p + 4, key.data(), key.size());
  p[4 + key.size()] = kind_char(kind);
}

}  // namespace vorn

#include "cli/image_view.h"

#include <algorithm>
#include <string_view>

#include "cli/text_check.h"
#include "format/byte_buffer.h"

namespace vorn::cli {

namespace {

bool valid_utf8(const uint8_t* p, size_t n) {
  return !find_invalid_utf8({reinterpret_cast<const char*>(p), n});
}

class ViewReader {
 public:
  ViewReader(std::span<const uint8_t> image, ImageView& view) : img_(image), v_(view) {}

  void run() {
    v_.size = img_.size();
    v_.complete = header() && definitions() && dict() && data();
  }

 private:
  bool header() {
    if (img_.size() < HEADER_SIZE) return false;
    v_.has_header = true;
    v_.version = img_[0];
    v_.def_offset = load_u32(&img_[1]);
    v_.dict_offset = load_u32(&img_[5]);
    v_.data_offset = load_u32(&img_[9]);
    v_.header_sound = v_.version == FORMAT_VERSION && v_.def_offset >= HEADER_SIZE &&
                      v_.dict_offset >= v_.def_offset && v_.data_offset >= v_.dict_offset &&
                      v_.data_offset <= img_.size();
    return v_.header_sound;
  }

  bool definitions() {
    const uint8_t* b = img_.data() + v_.def_offset;
    const size_t size = v_.dict_offset - v_.def_offset;
    if (size < 2) return false;
    const uint32_t n = load_u16(b);
    v_.def_count = n;
    if (n > MAX_DEFINITIONS || size < 3 * size_t{n} + 2) return false;
    v_.definitions.reserve(n);
    size_t p = 2;
    for (uint32_t i = 0; i < n; ++i) {
      if (!definition(b, size, p)) return false;
    }
    return true;
  }

  // One definition at `p`; advances `p` past it.
  bool definition(const uint8_t* b, size_t size, size_t& p) {
    if (p >= size || !is_valid_tag(b[p]) || p + 3 > size) return false;
    Definition def;
    def.kind = static_cast<TypeTag>(b[p]);
    def.id = load_u16(b + p + 1);
    if (def.kind == TypeTag::Array) {
      if (p + 4 > size || !is_valid_tag(b[p + 3])) return false;
      def.elem_type = static_cast<TypeTag>(b[p + 3]);
      p += 4;
    } else if (def.kind == TypeTag::Object) {
      if (p + 5 > size) return false;
      const uint32_t m = load_u16(b + p + 3);
      if (m > MAX_OBJECT_FIELDS) return false;
      p += 5;
      def.fields.emplace();
      def.fields->reserve(m);
      for (uint32_t j = 0; j < m; ++j) {
        if (p >= size) return false;
        const size_t k = b[p];
        if (p + k + 1 >= size || !valid_utf8(b + p + 1, k) || !is_valid_tag(b[p + k + 1])) {
          return false;
        }
        def.fields->push_back(FieldDef{std::string(reinterpret_cast<const char*>(b + p + 1), k),
                                       static_cast<TypeTag>(b[p + k + 1])});
        p += k + 2;
      }
    } else {
      p += 3;
    }
    v_.definitions.push_back(std::move(def));
    return true;
  }

  bool dict() {
    const uint8_t* b = img_.data() + v_.dict_offset;
    const size_t size = v_.dict_block_size();
    if (size == 0) {
      v_.dict_count = 0;
      return true;
    }
    if (size < 4) return false;
    const uint32_t c = load_u32(b);
    v_.dict_count = c;
    size_t p = 4;
    for (uint32_t i = 0; i < c; ++i) {
      if (!dict_string(b, size, p)) return false;
    }
    return true;
  }

  // One dict string at `p`; advances `p` past it.
  bool dict_string(const uint8_t* b, size_t size, size_t& p) {
    if (p >= size) return false;
    const uint8_t lead = b[p];
    size_t prefix, length;
    if (lead < 0x80) {
      prefix = 1;
      length = lead;
    } else if (lead == STRING_LONG) {
      if (size - p < 4) return false;
      prefix = 4;
      length = load_u24(b + p + 1);
    } else if (lead <= 0xBF) {
      if (size - p < 2) return false;
      prefix = 2;
      length = size_t{lead & 0x3Fu} << 8 | b[p + 1];
    } else {
      return false;  // 0xC0-0xFD and StrRef are no dict string forms
    }
    if (size - p < prefix + length || !valid_utf8(b + p + prefix, length)) return false;
    if (v_.dict_first.size() < DICT_KEPT) {
      v_.dict_first.emplace_back(reinterpret_cast<const char*>(b + p + prefix), length);
    }
    ++v_.dict_read;
    v_.dict_bytes += length;
    p += prefix + length;
    return true;
  }

  bool data() {
    const uint8_t* b = img_.data() + v_.data_offset;
    const size_t size = v_.data_block_size();
    if (size < 4) return false;
    const uint32_t e = load_u32(b);
    v_.entry_count = e;
    if (e > MAX_DATA_ENTRIES) return false;
    v_.entries.reserve(std::min<size_t>(e, size / 6));  // each entry takes 6 bytes at least
    size_t p = 4;
    for (uint32_t i = 0; i < e; ++i) {
      if (p + 6 > size) return false;
      const EntryInfo entry{load_u16(b + p), load_u32(b + p + 2)};
      if (p + 6 + size_t{entry.payload_size} > size) return false;
      if (entry.def_index >= v_.definitions.size()) return false;
      v_.entries.push_back(entry);
      p += 6 + size_t{entry.payload_size};
    }
    return true;
  }

  std::span<const uint8_t> img_;
  ImageView& v_;
};

}  // namespace

ImageView read_image_view(std::span<const uint8_t> image) {
  ImageView view;
  ViewReader(image, view).run();
  return view;
}

}  // namespace vorn::cli

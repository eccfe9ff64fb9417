#include "cli/json_writer.h"

#include <bit>
#include <charconv>
#include <system_error>
#include <vector>

#include "decompile/decompile_walk.h"
#include "format/byte_buffer.h"
#include "format/codec.h"
#include "format/format.h"
#include "format/json_text.h"

namespace vorn::cli {

namespace {

template <class T>
void append_integer(std::string& out, T value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

}  // namespace

void JsonWriter::newline(size_t depth) {
  out_ += '\n';
  out_.append(depth * static_cast<size_t>(indent_), ' ');
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (has_items_.empty()) return;
  if (has_items_.back()) out_ += ',';
  has_items_.back() = true;
  if (indent_ >= 0) newline(has_items_.size());
}

void JsonWriter::open(char bracket) {
  before_value();
  out_ += bracket;
  has_items_.push_back(false);
}

void JsonWriter::close(char bracket) {
  const bool had_items = has_items_.back();
  has_items_.pop_back();
  if (had_items && indent_ >= 0) newline(has_items_.size());
  out_ += bracket;
}

void JsonWriter::key(std::string_view name) {
  before_value();
  append_json_string(out_, name);
  out_ += indent_ >= 0 ? ": " : ":";
  after_key_ = true;
}

void JsonWriter::null() {
  before_value();
  out_ += "null";
}

void JsonWriter::boolean(bool b) {
  before_value();
  out_ += b ? "true" : "false";
}

void JsonWriter::number(uint64_t u) {
  before_value();
  append_integer(out_, u);
}

void JsonWriter::number(int64_t i) {
  before_value();
  append_integer(out_, i);
}

void JsonWriter::number(double d) {
  before_value();
  append_json_double(out_, d);
}

void JsonWriter::string(std::string_view s) {
  before_value();
  append_json_string(out_, s);
}

void write_json_value(JsonWriter& w, const JsonTree& tree, const JsonValue& v) {
  switch (v.kind) {
    case JsonKind::Null:
      w.null();
      return;
    case JsonKind::Bool:
      w.boolean(v.boolean);
      return;
    case JsonKind::Number:
      if (v.form == NumberForm::Unsigned) {
        w.number(v.number.u64);
      } else if (v.form == NumberForm::Negative) {
        w.number(v.number.i64);
      } else {
        w.number(v.number.f64);
      }
      return;
    case JsonKind::String:
      w.string(v.text);
      return;
    case JsonKind::Array:
      w.begin_array();
      for (const JsonValue& item : tree.children(v)) write_json_value(w, tree, item);
      w.end_array();
      return;
    case JsonKind::Object:
      w.begin_object();
      for (const JsonValue& member : tree.children(v)) {
        w.key(member.key);
        write_json_value(w, tree, member);
      }
      w.end_object();
      return;
  }
}

namespace {

// Writes the values of an image that check_image accepted, straight from its bytes: every count,
// length, index and definition there has passed its checks, so they are used as they stand. The
// decompiler's rules for what the values become (keys from the definition found by id, in byte
// order, the last field of a name winning) are the ones of decompile_walk.h. It is not a value
// maker of that walk because the walk makes an array only at its end and hands an object's values
// in field order: a maker could write members in key order only by holding their text, which has
// no bound; here a member's value is read where it lies. The decompile fuzzer holds this text to
// the text of the decompiled tree.
class ImageTextWriter {
 public:
  ImageTextWriter(const ImageLayout& layout, JsonWriter& w, const TextSink& sink)
      : layout_(layout), w_(w), sink_(sink), starts_(MAX_DEPTH + 2) {}

  bool write_entries(bool lines) {
    const uint8_t* p = layout_.data.data() + ENTRY_COUNT_SIZE;
    const uint32_t n = layout_.entry_count;
    if (!lines && n == 0) w_.null();
    if (!lines && n > 1) w_.begin_array();
    for (uint32_t i = 0; i < n; ++i) {
      const uint16_t def_index = load_u16(p);
      // The header: the u16 definition index, then the u32 payload length.
      const uint8_t* value_at = p + ENTRY_HEADER_SIZE;
      p = value_at + load_u32(p + 2);
      if (!value(layout_.defs[def_index].kind, value_at, 1)) return false;
      if (lines) w_.text() += '\n';
    }
    if (!lines) {
      if (n > 1) w_.end_array();
      w_.text() += '\n';
    }
    return w_.text().empty() || flush();
  }

 private:
  // How the fields of the objects with one self_def_index become members: the fields named by
  // members_[first, first + count), in key order. Made when the index is first met.
  struct ObjectOrder {
    const DefView* named = nullptr;  // the definition the keys are named by
    uint32_t first = 0;
    uint32_t count = 0;
    bool in_place = false;  // the members are the fields in their own order
    bool ready = false;
  };

  bool flush() {
    const bool ok = sink_(w_.text());
    w_.text().clear();
    return ok;
  }
  // Hands the text over once a chunk is full; false when the sink failed.
  bool room() { return w_.text().size() < JSON_CHUNK_BYTES || flush(); }

  // Reads the value of type `tag` at p (advanced past it) and writes it.
  bool value(TypeTag tag, const uint8_t*& p, uint32_t depth) {
    switch (tag) {
      case TypeTag::Null:
        w_.null();
        break;
      case TypeTag::Bool:
        w_.boolean(bool_of(*p++));
        break;
      case TypeTag::Int32: {
        const auto i = static_cast<int32_t>(load_u32(p));
        p += NUMBER_SIZE;
        if (i < 0) {
          w_.number(int64_t{i});
        } else {
          w_.number(static_cast<uint64_t>(i));
        }
        break;
      }
      case TypeTag::UInt32:
        w_.number(uint64_t{load_u32(p)});
        p += NUMBER_SIZE;
        break;
      case TypeTag::Float32:
        w_.number(static_cast<double>(std::bit_cast<float>(load_u32(p))));
        p += NUMBER_SIZE;
        break;
      case TypeTag::String:
        w_.string(string_at(p));
        break;
      case TypeTag::Array:
        return array(p, depth);
      case TypeTag::Object:
        return object(p, depth);
      default:
        break;  // no other tag passes the decoder
    }
    return room();
  }

  // The text of the string or StrRef at p (advanced past it), in the forms the walker reads.
  std::string_view string_at(const uint8_t*& p) {
    const uint8_t lead = p[0];
    size_t prefix;
    size_t length;
    if (lead < STRING_MEDIUM) {
      prefix = SHORT_PREFIX_SIZE;
      length = lead;
    } else if (lead < STRING_LONG) {
      prefix = MEDIUM_PREFIX_SIZE;
      length = medium_string_length(p);
    } else if (lead == STRING_LONG) {
      prefix = LONG_PREFIX_SIZE;
      length = long_string_length(p);
    } else {
      const uint32_t index = string_ref_index(p);
      p += STRING_REF_SIZE;
      return layout_.strings[index];
    }
    const std::string_view text(reinterpret_cast<const char*>(p + prefix), length);
    p += prefix + length;
    return text;
  }

  bool array(const uint8_t*& p, uint32_t depth) {
    const TypeTag elem = layout_.defs[load_u16(p)].elem_type;
    const uint16_t count = load_u16(p + 4);
    p += ARRAY_HEADER_SIZE;
    w_.begin_array();
    for (uint32_t i = 0; i < count; ++i) {
      if (!value(elem, p, depth + 1)) return false;
    }
    w_.end_array();
    return room();
  }

  // The values come in the order of the definition at the self_def_index's position, which
  // gives their tags; the members go in key order. When that is another order, the value of
  // each field is found first (by skipping over the values before it) and then written in
  // the members' order, so that no value's text is held.
  bool object(const uint8_t*& p, uint32_t depth) {
    const uint16_t index = load_u16(p);
    p += OBJECT_HEADER_SIZE;
    const DefView& def = layout_.defs[index];
    const FieldView* const tags = layout_.fields.data() + def.first_field;
    const ObjectOrder& order = order_of(index);
    const FieldView* const names = layout_.fields.data() + order.named->first_field;
    w_.begin_object();
    if (order.in_place) {
      for (uint32_t i = 0; i < def.field_count; ++i) {
        w_.key(names[i].name);
        if (!value(tags[i].tag, p, depth + 1)) return false;
      }
    } else {
      // Offsets into the data block, which is less than 4 GiB long.
      std::vector<uint32_t>& starts = starts_[depth];
      starts.clear();
      const uint8_t* const base = layout_.data.data();
      for (uint32_t i = 0; i < def.field_count; ++i) {
        starts.push_back(static_cast<uint32_t>(p - base));
        skip(tags[i].tag, p);
      }
      for (uint32_t k = 0; k < order.count; ++k) {
        const uint32_t field = members_[order.first + k];
        w_.key(names[field].name);
        const uint8_t* at = base + starts[field];
        if (!value(tags[field].tag, at, depth + 1)) return false;
      }
    }
    w_.end_object();
    return room();
  }

  const ObjectOrder& order_of(uint16_t index) {
    if (orders_.empty()) orders_.resize(layout_.defs.size());
    ObjectOrder& order = orders_[index];
    if (order.ready) return order;
    order.named = find_definition(index, layout_.defs);
    order.first = static_cast<uint32_t>(members_.size());
    for_each_key(layout_.fields_of(*order.named),
                 [&](uint32_t field) { members_.push_back(field); });
    order.count = static_cast<uint32_t>(members_.size()) - order.first;
    order.in_place = order.count == order.named->field_count;
    for (uint32_t k = 0; order.in_place && k < order.count; ++k) {
      order.in_place = members_[order.first + k] == k;
    }
    order.ready = true;
    return order;
  }

  // Moves p past the value of type `tag` there.
  void skip(TypeTag tag, const uint8_t*& p) {
    switch (tag) {
      case TypeTag::Bool:
      case TypeTag::Int32:
      case TypeTag::UInt32:
      case TypeTag::Float32:
        p += fixed_width(tag);
        return;
      case TypeTag::String:
        (void)string_at(p);
        return;
      case TypeTag::Array: {
        const TypeTag elem = layout_.defs[load_u16(p)].elem_type;
        const uint16_t count = load_u16(p + 4);
        p += ARRAY_HEADER_SIZE;
        if (elem == TypeTag::Null) return;
        if (const size_t width = fixed_width(elem); width != 0) {
          p += width * count;
        } else {
          for (uint32_t i = 0; i < count; ++i) skip(elem, p);
        }
        return;
      }
      case TypeTag::Object: {
        const DefView& def = layout_.defs[load_u16(p)];
        p += OBJECT_HEADER_SIZE;
        const FieldView* const fields = layout_.fields.data() + def.first_field;
        for (uint32_t i = 0; i < def.field_count; ++i) skip(fields[i].tag, p);
        return;
      }
      default:
        return;  // Null takes no bytes
    }
  }

  const ImageLayout& layout_;
  JsonWriter& w_;
  const TextSink& sink_;
  std::vector<ObjectOrder> orders_;  // per self_def_index
  std::vector<uint32_t> members_;    // the members of every order
  // Per nesting depth, the offsets of the values of the object being written there in another
  // order than its fields'.
  std::vector<std::vector<uint32_t>> starts_;
};

}  // namespace

bool write_image_json(const ImageLayout& layout, int indent, bool lines, const TextSink& sink) {
  JsonWriter w(indent);
  w.reserve(JSON_CHUNK_BYTES + (size_t{MAX_DEPTH} + 2) * 16 + 64);
  ImageTextWriter writer(layout, w, sink);
  return writer.write_entries(lines);
}

}  // namespace vorn::cli

// Where the bytes of an image go: a sink of the payload walker that counts, and the text and
// JSON forms of what it counted.

#include "cli/sizes.h"

#include <algorithm>
#include <array>

#include "cli/common.h"
#include "decode/walker.h"
#include "format/byte_buffer.h"
#include "format/codec.h"
#include "format/format.h"
#include "format/json_text.h"

namespace vorn::cli {

namespace {

// The payload bytes of `count` values of a scalar tag whose values all have one size.
constexpr uint64_t scalar_bytes(TypeTag tag, uint64_t count) noexcept {
  return fixed_width(tag) * count;
}
constexpr size_t FIELDS_SHOWN = 4;  // fields of an object shown in the text table
constexpr size_t ROWS_SHOWN = 30;   // definitions listed in the text form; JSON lists all

// Counts as the walker reads. An array or object is open from value_start to value_span; the
// frame of its depth holds its definition, how many of its values have started, and the bytes
// of the arrays and objects directly inside it, which are not its own.
class SizeSink : public CheckingSink {
 public:
  SizeSink(const ImageLayout& layout, ImageSizes& out) : layout_(layout), out_(out) {
    defs_.resize(layout.defs.size());
    for (size_t i = 0; i < defs_.size(); ++i) defs_[i].index = static_cast<uint32_t>(i);
    open_.assign(layout.defs.size(), 0);
    out_.field_nested.assign(layout.fields.size(), NO_DEFINITION);
    out_.element_nested.assign(layout.defs.size(), NO_DEFINITION);
    out_.field_bytes.assign(layout.fields.size(), 0);
    field_open_.assign(layout.fields.size(), 0);
  }

  bool begin_entry(uint32_t, uint16_t def_index, uint32_t payload_size) {
    entry_def_ = def_index;
    out_.payloads += payload_size;
    return true;
  }
  bool null_items(uint32_t count) {
    out_.scalars.nulls += count;
    return true;
  }
  bool fixed_array(uint16_t, uint16_t, TypeTag elem, const uint8_t*, uint32_t count) {
    count_scalars(elem, count);
    return true;
  }

  void value_start(TypeTag tag, const uint8_t* begin, const uint8_t* end, uint32_t depth) {
    if (depth >= frames_.size()) return;  // the walker refuses such a container
    if (depth > 1) {
      Frame& parent = frames_[depth - 1];
      const uint32_t slot = parent.next++;
      if (const uint32_t field = field_of(parent, slot); field != NO_FIELD) ++field_open_[field];
      if (tag == TypeTag::Array || tag == TypeTag::Object) note_nested(parent, slot, begin, end);
    }
    if (tag != TypeTag::Array && tag != TypeTag::Object) return;
    Frame& f = frames_[depth];
    f = Frame{};
    // The walker checks the index next; a bad one ends the walk before value_span.
    if (end - begin < 2) return;
    const uint16_t index = load_u16(begin);
    if (index >= defs_.size()) return;
    f.def = index;
    ++open_[index];
  }

  bool value_span(TypeTag tag, const uint8_t* begin, const uint8_t* end, uint32_t depth) {
    const auto size = static_cast<uint64_t>(end - begin);
    if (depth > 1) {
      const Frame& parent = frames_[depth - 1];
      const uint32_t field = field_of(parent, parent.next - 1);
      if (field != NO_FIELD && --field_open_[field] == 0) out_.field_bytes[field] += size;
    }
    switch (tag) {
      case TypeTag::Array:
      case TypeTag::Object:
        end_container(tag, size, depth);
        return true;
      case TypeTag::String:
        if (!count_string(begin, size)) return false;
        break;
      default:
        count_scalars(tag, 1);
        break;
    }
    if (depth == 1) {
      // A scalar that is the value of an entry belongs to the entry's definition.
      DefinitionSizes& d = defs_[entry_def_];
      ++d.values;
      d.self += size;
      d.total += size;
    }
    return true;
  }

  std::vector<DefinitionSizes> take_definitions() { return std::move(defs_); }
  const std::string& error() const noexcept { return error_; }

 private:
  struct Frame {
    uint16_t def = NO_DEFINITION;
    uint32_t next = 0;    // values of it started so far: the next one's field
    uint64_t nested = 0;  // bytes of the arrays and objects directly inside it
  };

  static constexpr uint32_t NO_FIELD = UINT32_MAX;

  // The position in ImageLayout::fields of the value `slot` of an object; NO_FIELD for an array.
  uint32_t field_of(const Frame& parent, uint32_t slot) const {
    if (parent.def == NO_DEFINITION) return NO_FIELD;
    const DefView& p = layout_.defs[parent.def];
    return p.has_fields && slot < p.field_count ? p.first_field + slot : NO_FIELD;
  }

  // Records which definition the container starting at `begin` names, in its parent's slot:
  // the field of an object, the elements of an array.
  void note_nested(const Frame& parent, uint32_t slot, const uint8_t* begin, const uint8_t* end) {
    if (parent.def == NO_DEFINITION || end - begin < 2) return;
    const uint16_t index = load_u16(begin);
    const DefView& p = layout_.defs[parent.def];
    uint16_t* target = nullptr;
    if (p.has_fields && slot < p.field_count) {
      target = &out_.field_nested[p.first_field + slot];
    } else if (p.has_elem_type) {
      target = &out_.element_nested[parent.def];
    }
    if (target == nullptr) return;
    if (*target == NO_DEFINITION) {
      *target = index;
    } else if (*target != index) {
      *target = SEVERAL_DEFINITIONS;
    }
  }

  void end_container(TypeTag tag, uint64_t size, uint32_t depth) {
    Frame& f = frames_[depth];
    if (f.def == NO_DEFINITION) return;  // a container the walker would have refused
    DefinitionSizes& d = defs_[f.def];
    ++d.values;
    d.self += size - f.nested;
    if (--open_[f.def] == 0) d.total += size;
    if (depth > 1) frames_[depth - 1].nested += size;
    ++(tag == TypeTag::Array ? out_.arrays : out_.objects);
  }

  bool count_string(const uint8_t* begin, uint64_t size) {
    StringSizes& s = out_.strings;
    if (begin[0] != STRING_REF) {
      ++s.inline_count;
      s.inline_bytes += size;
      return true;
    }
    const uint32_t index = load_u32(begin + 1);
    if (index >= layout_.strings.size()) {
      error_ = "Dict reference " + std::to_string(index) + " past the dictionary";
      return false;
    }
    ++s.ref_count;
    const size_t n = layout_.strings[index].size();
    s.saved +=
        static_cast<int64_t>(string_prefix_size(n) + n) - static_cast<int64_t>(STRING_REF_SIZE);
    return true;
  }

  void count_scalars(TypeTag tag, uint64_t count) {
    ScalarCounts& c = out_.scalars;
    switch (tag) {
      case TypeTag::Null:
        c.nulls += count;
        break;
      case TypeTag::Bool:
        c.bools += count;
        break;
      case TypeTag::Int32:
        c.int32s += count;
        break;
      case TypeTag::UInt32:
        c.uint32s += count;
        break;
      default:
        c.float32s += count;
        break;
    }
  }

  const ImageLayout& layout_;
  ImageSizes& out_;
  std::vector<DefinitionSizes> defs_;
  std::vector<uint32_t> open_;                 // per definition: its values open on the walk now
  std::vector<uint32_t> field_open_;           // per field: its values open on the walk now
  std::array<Frame, MAX_DEPTH + 2> frames_{};  // by depth; a scalar may sit at MAX_DEPTH + 1
  uint16_t entry_def_ = 0;
  std::string error_;
};

std::string pad_left(std::string s, size_t width) {
  return s.size() < width ? std::string(width - s.size(), ' ') + s : s;
}
std::string pad_right(std::string s, size_t width) {
  return s.size() < width ? s + std::string(width - s.size(), ' ') : s;
}
std::string num(uint64_t n) { return group_digits(n); }

// The kind of a slot: a scalar's tag, or an array or object with the definition its values name.
std::string slot_kind(TypeTag tag, uint16_t nested) {
  std::string s(tag_name(tag));
  if (tag != TypeTag::Array && tag != TypeTag::Object) return s;
  if (nested == SEVERAL_DEFINITIONS) return s + " (several)";
  if (nested == NO_DEFINITION) return s;
  return s + " #" + std::to_string(nested);
}

void text_blocks(std::string& out, const ImageSizes& s) {
  out += "blocks\n";
  const auto row = [&](std::string_view name, uint64_t bytes) {
    out += cat({"  ", pad_right(std::string(name), 18), pad_left(num(bytes), 12), "  ",
                pad_left(percent(bytes, s.image), 6), "\n"});
  };
  row("header", s.header);
  row("definition block", s.definition_block);
  row("dict block", s.dict_block);
  row("entry table", s.entry_table);
  row("payloads", s.payloads);
  if (s.unused != 0) row("unused", s.unused);
  row("image", s.image);
}

void text_definitions(std::string& out, const ImageLayout& layout, const ImageSizes& s) {
  out +=
      cat({"definitions by payload bytes (self: without nested arrays and objects; total: "
           "with them)\n"});
  out += "    def     values          self   share         total   share  shape\n";
  const size_t shown = std::min(s.definitions.size(), ROWS_SHOWN);
  for (size_t i = 0; i < shown; ++i) {
    const DefinitionSizes& d = s.definitions[i];
    out += cat({"  ", pad_left(num(d.index), 5), pad_left(num(d.values), 11),
                pad_left(num(d.self), 14), pad_left(percent(d.self, s.image), 8),
                pad_left(num(d.total), 14), pad_left(percent(d.total, s.image), 8), "  ",
                definition_shape(layout, s, d.index, FIELDS_SHOWN), "\n"});
  }
  if (shown < s.definitions.size()) {
    uint64_t rest = 0;
    for (size_t i = shown; i < s.definitions.size(); ++i) rest += s.definitions[i].self;
    out += cat({"  ... ", num(s.definitions.size() - shown), " more, ", byte_count(rest), " (",
                percent(rest, s.image), ")\n"});
  }
}

void text_kinds(std::string& out, const ImageSizes& s) {
  const StringSizes& st = s.strings;
  const ScalarCounts& c = s.scalars;
  out += "payloads by kind                   values         bytes   share\n";
  const auto row = [&](std::string_view name, uint64_t count, uint64_t bytes) {
    if (count == 0) return;
    out += cat({"  ", pad_right(std::string(name), 20), pad_left(num(count), 16),
                pad_left(num(bytes), 14), pad_left(percent(bytes, s.image), 8), "\n"});
  };
  row("array headers", s.arrays, ARRAY_HEADER_SIZE * s.arrays);
  row("object headers", s.objects, OBJECT_HEADER_SIZE * s.objects);
  row("inline strings", st.inline_count, st.inline_bytes);
  row("string references", st.ref_count, st.ref_bytes);
  row("Int32", c.int32s, scalar_bytes(TypeTag::Int32, c.int32s));
  row("UInt32", c.uint32s, scalar_bytes(TypeTag::UInt32, c.uint32s));
  row("Float32", c.float32s, scalar_bytes(TypeTag::Float32, c.float32s));
  row("Bool", c.bools, scalar_bytes(TypeTag::Bool, c.bools));
  row("Null", c.nulls, 0);
}

std::string strings_count(uint64_t n) { return num(n) + (n == 1 ? " string" : " strings"); }

void text_strings(std::string& out, const ImageSizes& s) {
  const StringSizes& st = s.strings;
  const int64_t instead = st.saved + static_cast<int64_t>(st.ref_bytes);
  const int64_t net = st.saved - static_cast<int64_t>(st.dict_bytes);
  out += cat({"strings\n  inline       ", strings_count(st.inline_count), ", ",
              byte_count(st.inline_bytes), "\n  dictionary   ", strings_count(st.dict_count), ", ",
              byte_count(st.dict_bytes), " (the whole dict block)\n  references   ",
              num(st.ref_count), ", ", byte_count(st.ref_bytes),
              " (the strings written inline instead: ", signed_byte_count(instead),
              ")\n  saved        ", signed_byte_count(st.saved), " by the references, ",
              signed_byte_count(net), " net of the dict block\n"});
}

void json_definition(JsonWriter& w, const ImageLayout& layout, const ImageSizes& s,
                     const DefinitionSizes& d) {
  const DefView& def = layout.defs[d.index];
  w.begin_object();
  w.member("index", d.index);
  w.member("kind", tag_name(def.kind));
  if (def.has_elem_type) {
    w.member("elem_type", tag_name(def.elem_type));
    const uint16_t nested = s.element_nested[d.index];
    if (nested < NO_DEFINITION - 1) w.member("elem_definition", uint32_t{nested});
  }
  if (def.has_fields) {
    w.key("fields");
    w.begin_array();
    const auto fields = layout.fields_of(def);
    for (size_t i = 0; i < fields.size(); ++i) {
      w.begin_object();
      w.member("name", fields[i].name);
      w.member("tag", tag_name(fields[i].tag));
      const uint16_t nested = s.field_nested[def.first_field + i];
      if (nested < NO_DEFINITION - 1) w.member("definition", uint32_t{nested});
      w.member("bytes", s.field_bytes[def.first_field + i]);
      w.end_object();
    }
    w.end_array();
  }
  w.member("shape", definition_shape(layout, s, d.index, FIELDS_SHOWN));
  w.member("values", d.values);
  w.member("self", d.self);
  w.member("total", d.total);
  w.end_object();
}

}  // namespace

Result<ImageSizes> measure_image(std::span<const uint8_t> image, const ImageLayout& layout) {
  ImageSizes s;
  s.image = image.size();
  s.header = HEADER_SIZE;
  s.definition_block = layout.dict_block_offset - layout.def_block_offset;
  s.dict_block = layout.data_block_offset - layout.dict_block_offset;
  s.entry_table = ENTRY_COUNT_SIZE + ENTRY_HEADER_SIZE * uint64_t{layout.entry_count};
  SizeSink sink(layout, s);
  PayloadWalker<SizeSink> walker(layout, sink);
  if (!walker.walk_entries()) {
    return FormatError{walker.error().empty() ? sink.error() : walker.error()};
  }
  // Between the header and the definition block, and after the last entry.
  s.unused =
      (layout.def_block_offset - HEADER_SIZE) + (layout.data.size() - s.entry_table - s.payloads);

  StringSizes& st = s.strings;
  st.ref_bytes = STRING_REF_SIZE * st.ref_count;
  st.dict_count = layout.strings.size();
  st.dict_bytes = s.dict_block;

  s.definitions = sink.take_definitions();
  std::erase_if(s.definitions, [](const DefinitionSizes& d) { return d.values == 0; });
  std::sort(s.definitions.begin(), s.definitions.end(),
            [](const DefinitionSizes& a, const DefinitionSizes& b) {
              return a.self != b.self ? a.self > b.self : a.index < b.index;
            });
  return s;
}

std::string definition_shape(const ImageLayout& layout, const ImageSizes& sizes, uint32_t index,
                             size_t max_fields, size_t max_name) {
  const DefView& d = layout.defs[index];
  std::string s(tag_name(d.kind));
  if (d.has_elem_type) {
    return s + " of " + slot_kind(d.elem_type, sizes.element_nested[index]);
  }
  if (!d.has_fields) return s;
  const auto fields = layout.fields_of(d);
  s += cat({" ", num(fields.size()), fields.size() == 1 ? " field" : " fields"});
  // A wide object shows the fields that take the most bytes, which are the ones that explain
  // its size.
  const bool wide = fields.size() > max_fields;
  std::vector<uint32_t> shown;
  if (wide) {
    shown = heaviest_fields(layout, sizes, index, max_fields);
    s += ", the heaviest";
  } else {
    for (uint32_t i = 0; i < fields.size(); ++i) shown.push_back(d.first_field + i);
  }
  for (size_t i = 0; i < shown.size(); ++i) {
    const FieldView& f = layout.fields[shown[i]];
    s += (i == 0 ? ": " : ", ");
    s += quoted_prefix(f.name, max_name) + " " + slot_kind(f.tag, sizes.field_nested[shown[i]]);
  }
  if (wide) s += cat({", ... ", num(fields.size() - shown.size()), " more"});
  return s;
}

std::vector<uint32_t> heaviest_fields(const ImageLayout& layout, const ImageSizes& sizes,
                                      uint32_t index, size_t count) {
  const DefView& d = layout.defs[index];
  std::vector<uint32_t> fields(d.field_count);
  for (uint32_t i = 0; i < d.field_count; ++i) fields[i] = d.first_field + i;
  const auto heavier = [&](uint32_t a, uint32_t b) {
    const uint64_t x = sizes.field_bytes[a];
    const uint64_t y = sizes.field_bytes[b];
    return x != y ? x > y : a < b;
  };
  const size_t n = std::min(count, fields.size());
  std::partial_sort(fields.begin(), fields.begin() + static_cast<std::ptrdiff_t>(n), fields.end(),
                    heavier);
  fields.resize(n);
  return fields;
}

std::string percent(uint64_t part, uint64_t whole) {
  if (whole == 0) return "0.0%";
  // Tenths of a percent, rounded half up, in integers so that the text is the same everywhere.
  const uint64_t tenths = (part * 2000 / whole + 1) / 2;
  return cat({std::to_string(tenths / 10), ".", std::to_string(tenths % 10), "%"});
}

std::string sizes_text(std::string_view name, const ImageLayout& layout, const ImageSizes& sizes) {
  std::string out = cat({"file: ", name, " (", byte_count(sizes.image), ")\n"});
  text_blocks(out, sizes);
  text_definitions(out, layout, sizes);
  text_kinds(out, sizes);
  text_strings(out, sizes);
  return out;
}

void sizes_json(JsonWriter& w, const ImageLayout& layout, const ImageSizes& s) {
  w.begin_object();
  w.key("blocks");
  w.begin_object();
  w.member("header", s.header);
  w.member("definition_block", s.definition_block);
  w.member("dict_block", s.dict_block);
  w.member("entry_table", s.entry_table);
  w.member("payloads", s.payloads);
  w.member("unused", s.unused);
  w.end_object();
  w.key("definitions");
  w.begin_array();
  for (const DefinitionSizes& d : s.definitions) json_definition(w, layout, s, d);
  w.end_array();
  w.key("kinds");
  w.begin_object();
  const auto kind = [&](std::string_view name, uint64_t count, uint64_t bytes) {
    w.key(name);
    w.begin_object();
    w.member("count", count);
    w.member("bytes", bytes);
    w.end_object();
  };
  kind("array_headers", s.arrays, ARRAY_HEADER_SIZE * s.arrays);
  kind("object_headers", s.objects, OBJECT_HEADER_SIZE * s.objects);
  kind("inline_strings", s.strings.inline_count, s.strings.inline_bytes);
  kind("string_references", s.strings.ref_count, s.strings.ref_bytes);
  kind("int32", s.scalars.int32s, scalar_bytes(TypeTag::Int32, s.scalars.int32s));
  kind("uint32", s.scalars.uint32s, scalar_bytes(TypeTag::UInt32, s.scalars.uint32s));
  kind("float32", s.scalars.float32s, scalar_bytes(TypeTag::Float32, s.scalars.float32s));
  kind("bool", s.scalars.bools, scalar_bytes(TypeTag::Bool, s.scalars.bools));
  kind("null", s.scalars.nulls, 0);
  w.end_object();
  w.key("strings");
  w.begin_object();
  w.member("inline_count", s.strings.inline_count);
  w.member("inline_bytes", s.strings.inline_bytes);
  w.member("dict_count", s.strings.dict_count);
  w.member("dict_bytes", s.strings.dict_bytes);
  w.member("ref_count", s.strings.ref_count);
  w.member("ref_bytes", s.strings.ref_bytes);
  w.member("saved", s.strings.saved);
  w.end_object();
  w.end_object();
}

void sizes_member(JsonWriter& w, const ImageLayout& layout,
                  const std::optional<ImageSizes>& sizes) {
  w.key("sizes");
  if (sizes) {
    sizes_json(w, layout, *sizes);
  } else {
    w.null();
  }
}

bool measure_for_inspect(std::span<const uint8_t> image, const ImageLayout& layout,
                         std::string_view name, SizesSection& section) {
  auto measured = measure_image(image, layout);
  if (!measured) {
    print_error(cat({name, ": ", measured.error().message}));
    return false;
  }
  section.sizes = std::move(*measured);
  return true;
}

}  // namespace vorn::cli

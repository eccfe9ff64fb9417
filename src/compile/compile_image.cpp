#include "compile/compile_image.h"

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "compile/compile.h"
#include "compile/schema.h"
#include "compile/tape.h"
#include "encode/image_writer.h"

namespace vorn {

namespace {

inline bool is_number_tag(TypeTag t) noexcept {
  return t == TypeTag::Int32 || t == TypeTag::UInt32 || t == TypeTag::Float32;
}

// Walks a tape in the order of compile_value and writes the payload straight into one buffer,
// making definitions and the dict as the reference does. Anything the reference would refuse
// within the walk (a mixed array, a string or an array too long for the format) makes walk()
// return false, and the caller leaves the text to the reference for its error; what the encoder
// and the reader refuse in the definitions, the dict and the numbers, finish() reports itself.
class ImageCompiler {
 public:
  ImageCompiler(const Tape& tape, size_t text_size)
      : tape_(tape),
        t_(tape.nodes.data()),
        orders_(tape.orders.data()),
        shape_defs_(tape.shapes.size(), CompileContext::NO_DEFINITION),
        ctx_(tape.strings) {
    payload_.reserve(text_size / 2 + 64);
  }

  // Compiles the whole tape; false when the reference must be asked for the error.
  bool walk();
  // The image of a walked tape, or the first refusal of the encoder or the reader.
  Result<ImageParts> finish();

 private:
  static constexpr uint32_t FAILED = 0xFFFFFFFF;

  // Scalars and strings in place; containers through array() and object(), which alone recurse,
  // so that this stays inlined into their loops.
  inline uint32_t value(uint32_t i, uint16_t* elem_def);
  [[gnu::noinline]] uint32_t array(uint32_t i, uint16_t* elem_def);
  [[gnu::noinline]] uint32_t object(uint32_t i, uint16_t* self_def);
  uint16_t object_def(const Shape& shape);
  bool string(const TapeNode& n);

  const Tape& tape_;
  const TapeNode* t_;
  const uint32_t* orders_;
  std::vector<int32_t> shape_defs_;  // per shape, its object definition once known
  CompileContext ctx_;
  ByteBuffer payload_;
  uint16_t root_def_ = 0;
  FirstNonFinite floats_;
};

// Appends a string of at most 16777215 bytes with its length prefix.
inline void append_string(ByteBuffer& out, std::string_view s) {
  put_string(out.extend(string_prefix_size(s.size()) + s.size()), s);
}

bool ImageCompiler::walk() {
  if (value(0, &root_def_) == FAILED) return false;
  const TapeNode& root = t_[0];
  if (root.kind == TapeKind::Array) {
    root_def_ = load_u16(payload_.data());  // its self_def_index
  } else if (root.kind != TapeKind::Object) {
    root_def_ = static_cast<uint16_t>(tape_tag(root));
  }
  return true;
}

// The head of the image (header, definition block, dict block, the entry count and the entry's
// header) planned and written ahead of the payload, which stays in its own buffer.
Result<ImageParts> ImageCompiler::finish() {
  const DefinitionBlock defs = measure_definitions(ctx_.definitions);
  const std::span<const std::string_view> strings(ctx_.dict_strings);
  const EntrySize entry{payload_.size(), {}};
  Result<ImagePlan> plan = plan_image(defs, strings, std::span<const EntrySize>(&entry, 1));
  if (!plan) return plan.error();
  if (Status readable = check_readable(defs, floats_); !readable) return readable.error();
  ImageParts parts;
  // More room than the head needs: a small document's head then takes a block of the same size
  // class as its payload, and malloc serves both from its fast path from call to call (an
  // exact-size block costs a small dumps about a sixth more in allocation).
  parts.head.reserve(HEADER_SIZE + 16 + 8 * ctx_.definitions.size());
  parts.head.resize(plan->size - payload_.size());
  uint8_t* p = write_image_prefix(parts.head.data(), *plan, defs, strings, 1);
  put_entry_header(p, root_def_, payload_.size());
  parts.payload = std::move(payload_);
  return parts;
}

inline bool ImageCompiler::string(const TapeNode& n) {
  if (string_size(n.size) == NO_STRING_FORM) return false;
  const std::string_view s(reinterpret_cast<const char*>(n.data), n.size);
  auto [state, inserted] = ctx_.strings.try_emplace(s, hash_bytes(s), CompileContext::SEEN_ONCE);
  if (inserted) {
    append_string(payload_, s);
    return true;
  }
  if (*state == CompileContext::SEEN_ONCE) {
    *state = static_cast<uint32_t>(ctx_.dict_strings.size());
    ctx_.dict_strings.push_back(s);
  }
  uint8_t* p = payload_.extend(5);
  p[0] = STRING_REF;
  ByteBuffer::store_u32(p + 1, *state);
  return true;
}

inline uint32_t ImageCompiler::value(uint32_t i, uint16_t* elem_def) {
  const TapeNode& n = t_[i];
  switch (n.kind) {
    case TapeKind::Null:
      *elem_def = 0;
      return i + 1;
    case TapeKind::True:
    case TapeKind::False:
      payload_.put_u8(n.kind == TapeKind::True ? 1 : 0);
      *elem_def = 1;
      return i + 1;
    case TapeKind::Unsigned:
      payload_.put_u32(static_cast<uint32_t>(n.data));
      *elem_def = n.data >> 63 != 0 ? 3 : 2;
      return i + 1;
    case TapeKind::Negative:
      payload_.put_u32(static_cast<uint32_t>(n.data));
      *elem_def = 2;
      return i + 1;
    case TapeKind::Float:
      payload_.put_u32(std::bit_cast<uint32_t>(floats_.narrow(std::bit_cast<double>(n.data))));
      *elem_def = 4;
      return i + 1;
    case TapeKind::String:
      *elem_def = 5;
      return string(n) ? i + 1 : FAILED;
    case TapeKind::Array:
      return array(i, elem_def);
    case TapeKind::Object:
      return object(i, elem_def);
  }
  return FAILED;
}

uint32_t ImageCompiler::array(uint32_t i, uint16_t* elem_def_out) {
  const TapeNode& n = t_[i];
  if (n.size > MAX_ARRAY_ITEMS) return FAILED;
  const size_t at = payload_.size();
  payload_.extend(6);
  TypeTag elem = TypeTag::Null;  // Null until the first item that is not null
  uint16_t elem_def = 0;
  bool nulls = false;
  bool promoted = false;
  uint32_t j = i + 1;
  for (uint32_t k = 0; k < n.size; ++k) {
    const TypeTag kind = tape_tag(t_[j]);
    uint16_t d = 0;
    j = value(j, &d);
    if (j == FAILED) return FAILED;
    if (kind == TypeTag::Null) {
      nulls = true;
    } else if (elem == TypeTag::Null) {
      elem = kind;
      elem_def = d;
    } else if (kind != elem) {
      if (!is_number_tag(kind) || !is_number_tag(elem)) return FAILED;
      promoted = true;
    }
  }
  if (nulls && elem != TypeTag::Null) return FAILED;
  if (promoted) {
    // Every item is a number of four bytes: integers become the float nearest their exact value.
    uint8_t* items = payload_.data() + at + 6;
    for (uint32_t k = 0; k < n.size; ++k) {
      const TapeNode& item = t_[i + 1 + k];
      float f;
      if (item.kind == TapeKind::Float) continue;
      if (item.kind == TapeKind::Negative) {
        f = static_cast<float>(static_cast<int64_t>(item.data));
      } else {
        f = static_cast<float>(item.data);
      }
      ByteBuffer::store_u32(items + 4 * k, std::bit_cast<uint32_t>(f));
    }
    elem = TypeTag::Float32;
    elem_def = static_cast<uint16_t>(TypeTag::Float32);
  }
  payload_.patch_u16(at, intern_array_def(ctx_, elem));
  payload_.patch_u16(at + 2, elem_def);
  payload_.patch_u16(at + 4, static_cast<uint16_t>(n.size));
  *elem_def_out = elem_def;
  return j;
}

uint32_t ImageCompiler::object(uint32_t i, uint16_t* self_def) {
  const TapeNode& n = t_[i];
  const uint32_t shape = n.size;
  const uint32_t count = tape_.shapes[shape].unique;
  const auto order = static_cast<uint32_t>(n.data >> 32);
  const size_t at = payload_.size();
  payload_.extend(2);
  uint16_t ignored = 0;
  if (order == NO_ORDER) {
    uint32_t k = i + 1;
    for (uint32_t m = 0; m < count; ++m) {
      k = value(k, &ignored);
      if (k == FAILED) return FAILED;
    }
  } else {
    for (uint32_t m = 0; m < count; ++m) {
      if (value(orders_[order + m], &ignored) == FAILED) return FAILED;
    }
  }
  int32_t id = shape_defs_[shape];
  if (id == CompileContext::NO_DEFINITION) {
    id = object_def(tape_.shapes[shape]);
    shape_defs_[shape] = id;
  }
  payload_.patch_u16(at, static_cast<uint16_t>(id));
  *self_def = static_cast<uint16_t>(id);
  return static_cast<uint32_t>(n.data);
}

// The definition of an object layout, found by its lookup key or created. Members in key order
// come from the layout itself.
uint16_t ImageCompiler::object_def(const Shape& shape) {
  const ShapeMember* members = tape_.shape_members.data() + shape.members;
  const uint32_t* perm = shape.perm == NO_ORDER ? nullptr : tape_.perms.data() + shape.perm;
  auto member = [&](uint32_t m) -> const ShapeMember& {
    return members[perm == nullptr ? m : perm[m]];
  };
  std::string& sig = ctx_.signature;
  sig.clear();
  for (uint32_t m = 0; m < shape.unique; ++m) {
    append_signature_member(sig, member(m).key, member(m).kind);
  }
  const uint64_t hash = hash_bytes(sig);
  const int32_t found = find_object_def(ctx_, hash);
  if (found != CompileContext::NO_DEFINITION) return static_cast<uint16_t>(found);
  std::vector<FieldDef> fields;
  fields.reserve(shape.unique);
  for (uint32_t m = 0; m < shape.unique; ++m) {
    const ShapeMember& sm = member(m);
    fields.push_back(FieldDef{std::string(sm.key), sm.kind});
  }
  return add_object_def(ctx_, hash, std::move(fields));
}

Result<ImageParts> reference_parts(std::string_view text) {
  Result<ByteBuffer> image = compile_reference_image(text);
  if (!image) return image.error();
  return ImageParts{std::move(*image), ByteBuffer()};
}

}  // namespace

void ImageParts::copy_to(uint8_t* out) const noexcept {
  if (head.size() != 0) std::memcpy(out, head.data(), head.size());
  if (payload.size() != 0) std::memcpy(out + head.size(), payload.data(), payload.size());
}

Result<ImageParts> compile_image_parts(std::string_view text) {
  // Tape positions are u32; a text of 2 GiB or more goes the reference way.
  if (text.size() >= (size_t{1} << 31)) return reference_parts(text);
  Tape tape;
  std::string error;
  if (!read_tape(text, tape, &error)) return FormatError{std::move(error)};
  ImageCompiler compiler(tape, text.size());
  if (!compiler.walk()) return reference_parts(text);
  return compiler.finish();
}

Result<ByteBuffer> compile_image(std::string_view text) {
  Result<ImageParts> parts = compile_image_parts(text);
  if (!parts) return parts.error();
  if (parts->payload.size() == 0) return std::move(parts->head);
  ByteBuffer out;
  out.resize(parts->size());
  parts->copy_to(out.data());
  return out;
}

}  // namespace vorn

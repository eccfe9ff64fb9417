#include "compile/compile.h"

#include "compile/json_reader.h"
#include "encode/encode.h"
#include "encode/image_writer.h"

namespace vorn {

namespace {

uint16_t root_def_index(const Value& v) noexcept {
  if (v.kind == ValueKind::Array || v.kind == ValueKind::Object) return v.self_def_index;
  return static_cast<uint16_t>(tag_of(v.kind));
}

// A string value: inline at its first occurrence, a StrRef into the dict from its second on.
// `s` must stay valid for as long as the context.
Value intern_string(CompileContext& ctx, std::string_view s) {
  auto [state, inserted] = ctx.strings.try_emplace(s, CompileContext::SEEN_ONCE);
  if (inserted) return Value::string(std::string(s));
  if (*state == CompileContext::SEEN_ONCE) {
    *state = static_cast<uint32_t>(ctx.dict_strings.size());
    ctx.dict_strings.push_back(s);
  }
  return Value::str_ref(*state);
}

// The Value of one JSON value and everything inside it; contents are compiled before the
// container's own definition is found or created.
Result<Value> compile_value(CompileContext& ctx, const JsonTree& tree, const JsonValue& v) {
  switch (v.kind) {
    case JsonKind::Null:
      return Value::null();
    case JsonKind::Bool:
      return Value::make_bool(v.boolean);
    case JsonKind::Number:
      return number_value(v);
    case JsonKind::String:
      return intern_string(ctx, v.text);
    case JsonKind::Array: {
      const auto items = tree.children(v);
      std::vector<Value> values;
      values.reserve(items.size());
      for (const JsonValue& item : items) {
        Result<Value> r = compile_value(ctx, tree, item);
        if (!r) return r.error();
        values.push_back(std::move(*r));
      }
      Result<ArrayKind> kind = check_array(items);
      if (!kind) return kind.error();
      if (kind->promoted) {
        for (size_t i = 0; i < items.size(); ++i) {
          if (items[i].form != NumberForm::Float) {
            values[i] = Value::float32(integer_to_float(items[i]));
          }
        }
      }
      const uint16_t id = intern_array_def(ctx, kind->elem);
      uint16_t elem_def = 0;
      for (const Value& item : values) {
        if (item.kind != ValueKind::Null) {
          elem_def = elem_def_of(item);
          break;
        }
      }
      return Value::array(id, elem_def, std::move(values));
    }
    case JsonKind::Object: {
      const auto members = tree.children(v);
      std::vector<Value> values;
      values.reserve(members.size());
      for (const JsonValue& member : members) {
        Result<Value> r = compile_value(ctx, tree, member);
        if (!r) return r.error();
        values.push_back(std::move(*r));
      }
      return Value::object(intern_object_def(ctx, members), std::move(values));
    }
  }
  return Value::null();
}

// Compiles a tree that read_json returned; the result owns all its strings.
Result<Document> compile_tree(const JsonTree& tree) {
  CompileContext ctx;
  Result<Value> root = compile_value(ctx, tree, tree.root_value());
  if (!root) return root.error();
  Document doc;
  doc.definitions = std::move(ctx.definitions);
  doc.strings.reserve(ctx.dict_strings.size());
  for (std::string_view s : ctx.dict_strings) doc.strings.emplace_back(s);
  const uint16_t def_index = root_def_index(*root);
  doc.entries.push_back(DataEntry{def_index, std::move(*root)});
  return doc;
}

}  // namespace

Result<Document> compile_json(std::string_view text) {
  Result<JsonTree> tree = read_json(text);
  if (!tree) return tree.error();
  return compile_tree(*tree);
}

Result<ByteBuffer> compile_reference_image(std::string_view text) {
  Result<Document> doc = compile_json(text);
  if (!doc) return doc.error();
  Result<ByteBuffer> image = encode_document(*doc);
  if (!image) return image.error();
  if (Status readable = check_readable(*doc); !readable) return readable.error();
  return image;
}

}  // namespace vorn

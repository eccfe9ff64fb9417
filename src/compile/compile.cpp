#include "compile/compile.h"

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "compile/exact.h"
#include "compile/json_lines.h"
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

// The entry of a tree that read_json returned, compiled with `ctx`, whose string views point
// into the tree and its text: both must outlive the context.
Result<DataEntry> compile_entry(CompileContext& ctx, const JsonTree& tree) {
  Result<Value> root = compile_value(ctx, tree, tree.root_value());
  if (!root) return root.error();
  const uint16_t def_index = root_def_index(*root);
  return DataEntry{def_index, std::move(*root)};
}

// The definitions and the dict of a context whose walk is done, moved into `doc`.
void take_context(CompileContext& ctx, Document& doc) {
  doc.definitions = std::move(ctx.definitions);
  doc.strings.reserve(ctx.dict_strings.size());
  for (std::string_view s : ctx.dict_strings) doc.strings.emplace_back(s);
}

// A refusal of `step`; an InexactValue makes the exactness refusal.
template <class Error>
CompileError refusal(Error e, RefusingStep step, size_t line = 0) {
  return CompileError{std::move(e), step, line};
}

// The line of an encoder refusal of a JSON Lines document: the line of the entry whose payload
// holds the fault, as plan_image finds it in the encoder's order, or 0 when the fault lies in the
// definitions, in a dict string or in the size of the whole image. Made only on refusal.
size_t encoder_fault_line(const Document& doc, const std::vector<size_t>& lines) {
  std::vector<EntrySize> entries;
  entries.reserve(doc.entries.size());
  for (const DataEntry& entry : doc.entries) entries.push_back(measure_payload(entry.value));
  size_t faulty = SIZE_MAX;
  (void)plan_image(measure_definitions(doc.definitions), std::span<const std::string>(doc.strings),
                   std::span<const EntrySize>(entries), &faulty);
  return faulty == SIZE_MAX ? 0 : lines[faulty];
}

}  // namespace

Result<Document> compile_json(std::string_view text) {
  Result<JsonTree> tree = read_json(text);
  if (!tree) return tree.error();
  CompileContext ctx;
  Result<DataEntry> entry = compile_entry(ctx, *tree);
  if (!entry) return entry.error();
  Document doc;
  take_context(ctx, doc);
  doc.entries.push_back(std::move(*entry));
  return doc;
}

Result<ByteBuffer, CompileError> reference_image(std::string_view text, CompileOptions options) {
  Result<JsonTree> tree = read_json(text);
  if (!tree) return refusal(tree.error(), RefusingStep::JsonReader);
  Document doc;
  {
    CompileContext ctx;
    Result<DataEntry> entry = compile_entry(ctx, *tree);
    if (!entry) return refusal(entry.error(), RefusingStep::Compiler);
    take_context(ctx, doc);
    doc.entries.push_back(std::move(*entry));
  }
  Result<ByteBuffer> image = encode_document(doc);
  if (!image) return refusal(image.error(), RefusingStep::Encoder);
  if (Status s = check_readable(doc); !s) return refusal(s.error(), RefusingStep::Reader);
  if (options.exact) {
    if (auto s = check_exact(*tree); !s) return refusal(s.error(), RefusingStep::Compiler);
  }
  return std::move(*image);
}

Result<ByteBuffer, CompileError> reference_lines_image(std::string_view jsonl_text,
                                                       CompileOptions options) {
  const size_t count = count_json_lines(jsonl_text);
  if (count > MAX_DATA_ENTRIES) return refusal(too_many_lines(count), RefusingStep::Compiler);
  // The trees stay for the exactness check, and because the context's string views point into
  // them: reserved, so that they never move (a tree's strings would be copied and freed).
  std::vector<JsonTree> trees;
  trees.reserve(count);
  std::vector<size_t> lines;
  Document doc;
  {
    CompileContext ctx;
    JsonLines split(jsonl_text);
    JsonLine line;
    while (split.next(&line)) {
      Result<JsonTree> tree = read_json(line.text);
      if (!tree) return refusal(tree.error(), RefusingStep::JsonReader, line.number);
      trees.push_back(std::move(*tree));
      Result<DataEntry> entry = compile_entry(ctx, trees.back());
      if (!entry) return refusal(entry.error(), RefusingStep::Compiler, line.number);
      doc.entries.push_back(std::move(*entry));
      lines.push_back(line.number);
    }
    take_context(ctx, doc);
  }
  Result<ByteBuffer> image = encode_document(doc);
  if (!image) {
    const size_t line = encoder_fault_line(doc, lines);
    return refusal(image.error(), RefusingStep::Encoder, line);
  }
  if (Status s = check_readable(doc); !s) return refusal(s.error(), RefusingStep::Reader);
  if (options.exact) {
    for (size_t i = 0; i < trees.size(); ++i) {
      if (auto s = check_exact(trees[i]); !s) {
        return refusal(s.error(), RefusingStep::Compiler, lines[i]);
      }
    }
  }
  return std::move(*image);
}

}  // namespace vorn

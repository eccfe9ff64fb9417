#include "compile/compile_image.h"

#include <cstring>
#include <string>

#include "compile/image_compiler.h"
#include "compile/json_lines.h"
#include "compile/tape.h"

namespace vorn {

namespace {

// The number of strings the dict map is first sized for: every string value of the text, but
// no more than one per 128 bytes of it, so that the map of a large text starts at a share of the
// text and then grows with the distinct strings it meets, not with all the string values.
size_t dict_map_size(size_t strings, size_t text_size) noexcept {
  const size_t cap = text_size / 128 + 16;
  return strings < cap ? strings : cap;
}

template <class Index, bool Exact>
Result<ImageParts, CompileError> compile_text(std::string_view text, BufferProvider* storage) {
  Tape<Index> tape;
  {
    TapeBuilder<Index> builder(tape, text.data(), text.size());
    if (Status read = builder.read(text); !read) {
      return CompileError{std::move(read).error(), RefusingStep::JsonReader, 0};
    }
  }
  ImageCompiler<Index, Exact> compiler(tape, dict_map_size(tape.strings, text.size()),
                                       text.size() / 2 + 64, storage);
  if (!compiler.walk(0)) return std::move(compiler.error());
  tape.free_nodes();
  compiler.end_walks();
  return compiler.finish();
}

template <class Index, bool Exact>
Result<ImageParts, CompileError> compile_lines(std::string_view text) {
  const size_t count = count_json_lines(text);
  if (count > MAX_DATA_ENTRIES) {
    return CompileError{too_many_lines(count), RefusingStep::Compiler, 0};
  }
  Tape<Index> tape;
  TapeBuilder<Index> builder(tape, text.data(), text.size());
  ImageCompiler<Index, Exact> compiler(tape, dict_map_size(SIZE_MAX, text.size()),
                                       text.size() / 2 + 64, nullptr);
  JsonLines lines(text);
  JsonLine line;
  while (lines.next(&line)) {
    tape.clear_nodes();
    if (Status read = builder.read(line.text); !read) {
      return CompileError{std::move(read).error(), RefusingStep::JsonReader, line.number};
    }
    if (!compiler.walk(line.number)) return std::move(compiler.error());
  }
  tape.free_nodes();
  compiler.end_walks();
  return compiler.finish();
}

// Positions of 32 bits reach every byte of a text below 4 GiB.
bool needs_wide_tape(std::string_view text) noexcept { return text.size() > UINT32_MAX - 1; }

template <class Index>
Result<ImageParts, CompileError> compile_text_as(std::string_view text, CompileOptions options,
                                                 BufferProvider* storage) {
  return options.exact ? compile_text<Index, true>(text, storage)
                       : compile_text<Index, false>(text, storage);
}

template <class Index>
Result<ImageParts, CompileError> compile_lines_as(std::string_view text, CompileOptions options) {
  return options.exact ? compile_lines<Index, true>(text) : compile_lines<Index, false>(text);
}

}  // namespace

void ImageParts::copy_to(uint8_t* out) const noexcept {
  if (payload.size() != 0) std::memcpy(out, payload.data(), payload.size());
}

ByteBuffer join_image(ImageParts parts) { return std::move(parts.payload); }

Result<ImageParts, CompileError> compile_image_parts(std::string_view text, CompileOptions options,
                                                     BufferProvider* storage) {
  if (needs_wide_tape(text)) return compile_text_as<uint64_t>(text, options, storage);
  return compile_text_as<uint32_t>(text, options, storage);
}

Result<ImageParts, CompileError> compile_lines_image(std::string_view jsonl_text,
                                                     CompileOptions options) {
  if (needs_wide_tape(jsonl_text)) return compile_lines_as<uint64_t>(jsonl_text, options);
  return compile_lines_as<uint32_t>(jsonl_text, options);
}

Result<ImageParts, CompileError> compile_image_parts_wide(std::string_view text,
                                                          CompileOptions options) {
  return compile_text_as<uint64_t>(text, options, nullptr);
}

Result<ImageParts, CompileError> compile_lines_image_wide(std::string_view jsonl_text,
                                                          CompileOptions options) {
  return compile_lines_as<uint64_t>(jsonl_text, options);
}

Result<ByteBuffer> compile_image(std::string_view text) {
  Result<ImageParts, CompileError> parts = compile_image_parts(text);
  if (!parts) return std::move(parts.error().error);
  return join_image(std::move(*parts));
}

}  // namespace vorn

// Arbitrary bytes as JSON text, and as a JSON Lines text. The fused compiler, with 32-bit and
// with 64-bit tape positions, and the reference chains (compile walk, encode_document,
// check_readable, the exactness check) give the same bytes or the same error: message, step,
// line and whether it is the exactness refusal, which alone the same text without the check
// accepts. Whatever image they give must decode and decompile back to the input with its numbers
// narrowed to 32 bits, and to the input itself when the exactness check passed: an image that
// loads would refuse is refused by the writers themselves, with loads' message.
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compile/compile.h"
#include "compile/compile_image.h"
#include "compile/json_lines.h"
#include "compile/json_reader.h"
#include "decode/decode.h"
#include "decode/utf8.h"
#include "decompile/decompile.h"
#include "fuzz_support.h"

namespace {

using vorn::ByteBuffer;
using vorn::CompileError;
using vorn::ImageParts;
using vorn::Result;

bool same_error(const CompileError& a, const CompileError& b) {
  return a.error.message == b.error.message && a.step == b.step && a.line == b.line &&
         a.inexact == b.inexact;
}

// The fused result against the reference's, byte for byte or refusal for refusal.
void check_same(const Result<ImageParts, CompileError>& fused,
                const Result<ByteBuffer, CompileError>& image) {
  if (!image) {
    VORN_FUZZ_CHECK(!fused && same_error(fused.error(), image.error()));
    return;
  }
  VORN_FUZZ_CHECK(fused);
  VORN_FUZZ_CHECK(fused->size() == image->size());
  std::vector<uint8_t> joined(fused->size());
  fused->copy_to(joined.data());
  VORN_FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(joined.data()), joined.size()) ==
                  image->view());
}

// The values of an image's entries as the decompiler gives them.
vorn::JsonTree decompiled(const ByteBuffer& image, vorn::Document& doc) {
  auto decoded = vorn::decode_document(std::span<const uint8_t>(image.data(), image.size()));
  VORN_FUZZ_CHECK(decoded);
  doc = std::move(*decoded);
  auto tree = vorn::decompile_document(doc);
  VORN_FUZZ_CHECK(tree);
  return std::move(*tree);
}

// A refusal of a text under CompileOptions::exact against `plain`, the same text compiled without
// it. The exactness check refuses only a text that every other step accepts, so that an exactness
// refusal comes after an image without it, and any other refusal is the same without it.
void check_exact_refusal(const CompileError& refusal,
                         const Result<ByteBuffer, CompileError>& plain) {
  if (refusal.inexact) {
    VORN_FUZZ_CHECK(refusal.step == vorn::RefusingStep::Compiler);
    VORN_FUZZ_CHECK(plain);
  } else {
    VORN_FUZZ_CHECK(!plain && same_error(plain.error(), refusal));
  }
}

void check_text(const std::string& text, bool exact) {
  const vorn::CompileOptions options{exact};
  auto image = vorn::reference_image(text, options);
  check_same(vorn::compile_image_parts(text, options), image);
  check_same(vorn::compile_image_parts_wide(text, options), image);
  if (!image) {
    if (exact) check_exact_refusal(image.error(), vorn::reference_image(text));
    VORN_FUZZ_CHECK(exact || !image.error().inexact);
    return;
  }
  vorn::Document doc;
  const vorn::JsonTree tree = decompiled(*image, doc);
  auto original = vorn::read_json(text);
  VORN_FUZZ_CHECK(original);
  VORN_FUZZ_CHECK(
      vorn::fuzz::narrows_to(*original, original->root_value(), tree, tree.root_value(), false));
  if (exact) {
    VORN_FUZZ_CHECK(
        vorn::fuzz::same_tree(*original, original->root_value(), tree, tree.root_value()));
  }
}

void check_lines(const std::string& text, bool exact) {
  const vorn::CompileOptions options{exact};
  auto image = vorn::reference_lines_image(text, options);
  check_same(vorn::compile_lines_image(text, options), image);
  check_same(vorn::compile_lines_image_wide(text, options), image);
  if (!image) {
    if (exact) check_exact_refusal(image.error(), vorn::reference_lines_image(text));
    VORN_FUZZ_CHECK(exact || !image.error().inexact);
    return;
  }
  vorn::Document doc;
  const vorn::JsonTree tree = decompiled(*image, doc);
  // One entry per line that holds a value: the value itself for one, a list for several. A deque,
  // so that the trees never move: a moved tree's strings would be copies.
  std::deque<vorn::JsonTree> lines;
  vorn::JsonLines split(text);
  vorn::JsonLine line;
  while (split.next(&line)) {
    auto value = vorn::read_json(line.text);
    VORN_FUZZ_CHECK(value);
    lines.push_back(std::move(*value));
  }
  VORN_FUZZ_CHECK(doc.entries.size() == lines.size());
  if (lines.empty()) return;
  std::span<const vorn::JsonValue> values(&tree.root_value(), 1);
  if (lines.size() > 1) values = tree.children(tree.root_value());
  VORN_FUZZ_CHECK(values.size() == lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    const vorn::JsonValue& original = lines[i].root_value();
    VORN_FUZZ_CHECK(vorn::fuzz::narrows_to(lines[i], original, tree, values[i], false));
    if (exact) VORN_FUZZ_CHECK(vorn::fuzz::same_tree(lines[i], original, tree, values[i]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Text reaches the compiler as valid UTF-8 (a Python str, or a file the command checked).
  if (!vorn::check_utf8(data, size).ok) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The exactness check on about half of the inputs, chosen by their last byte.
  const bool exact = size != 0 && (data[size - 1] & 1) != 0;
  check_text(text, false);
  if (exact) check_text(text, true);
  check_lines(text, exact);
  return 0;
}

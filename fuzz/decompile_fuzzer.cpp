// Arbitrary bytes as an image, read every way the decompiler offers: in one walk over the bytes
// (decompile_image, the walk loads uses), by the chain decode_document then decompile_document,
// and by the walk that makes no values (check_image). All must accept the same images or refuse
// them with the same message, and the same tree must come of the first two. For an accepted
// image, the JSON text written straight from its bytes (what vorn decode writes) must be the
// text written from the tree, compact, indented and as JSON Lines. Nothing may crash, read out of
// bounds or leak.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "decompile/decompile.h"
#include "fuzz_support.h"
// The command's JSON writer is not part of the core library the fuzz targets link.
#include "cli/json_writer.cpp"  // NOLINT(bugprone-suspicious-include)

namespace {

// Prints both messages before the check fails, so that a crash report says how they differ.
void check_same_message(const std::string& walked, const std::string& chained) {
  if (walked == chained) return;
  std::fprintf(stderr, "one walk: %s\nchain:    %s\n", walked.c_str(), chained.c_str());
  VORN_FUZZ_CHECK(walked == chained);
}

// The text of the tree as the command wrote it before it wrote straight from the image: the
// root value and a line break; with `lines`, one line per entry.
std::string text_of_tree(const vorn::JsonTree& tree, uint32_t entry_count, int indent, bool lines) {
  vorn::cli::JsonWriter w(indent);
  const vorn::JsonValue& root = tree.root_value();
  if (!lines || entry_count == 1) {
    vorn::cli::write_json_value(w, tree, root);
    w.text() += '\n';
  } else if (entry_count > 1) {
    for (const vorn::JsonValue& entry : tree.children(root)) {
      vorn::cli::write_json_value(w, tree, entry);
      w.text() += '\n';
    }
  }
  return std::move(w.text());
}

void check_streamed_text(const vorn::ImageLayout& layout, const vorn::JsonTree& tree) {
  struct Form {
    int indent;
    bool lines;
  };
  for (const Form form : {Form{-1, false}, Form{0, false}, Form{3, false}, Form{-1, true}}) {
    std::string streamed;
    const bool ok =
        vorn::cli::write_image_json(layout, form.indent, form.lines, [&](std::string_view text) {
          streamed += text;
          return true;
        });
    VORN_FUZZ_CHECK(ok);
    const std::string reference = text_of_tree(tree, layout.entry_count, form.indent, form.lines);
    if (streamed != reference) {
      std::fprintf(stderr, "streamed: %s\ntree:     %s\n", streamed.c_str(), reference.c_str());
      VORN_FUZZ_CHECK(streamed == reference);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that the address sanitizer sees any read past the end.
  const std::vector<uint8_t> image(data, data + size);
  auto walked = vorn::decompile_image(image);
  vorn::ImageLayout layout;
  const vorn::Status checked = vorn::check_image(image, layout);
  VORN_FUZZ_CHECK(static_cast<bool>(checked) == static_cast<bool>(walked));
  if (!walked) check_same_message(walked.error().message, checked.error().message);

  auto doc = vorn::decode_document(image);
  if (!doc) {
    VORN_FUZZ_CHECK(!walked);
    check_same_message(walked.error().message, doc.error().message);
    return 0;
  }
  auto chained = vorn::decompile_document(*doc);
  if (!chained) {
    VORN_FUZZ_CHECK(!walked);
    check_same_message(walked.error().message, chained.error().message);
    return 0;
  }
  VORN_FUZZ_CHECK(walked);
  VORN_FUZZ_CHECK(
      vorn::fuzz::same_tree(*walked, walked->root_value(), *chained, chained->root_value()));
  check_streamed_text(layout, *walked);
  return 0;
}

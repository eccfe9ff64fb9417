#include "cli/pipeline.h"

#include "cli/text_check.h"
#include "compile/compile.h"
#include "encode/encode.h"

namespace vorn::cli {

Result<Document> compile_text(std::string_view text) {
  if (const auto bad = find_invalid_utf8(text)) {
    return FormatError{"invalid UTF-8 at " + text_position(text, *bad)};
  }
  return compile_json(text);
}

Result<ByteBuffer> encode_text(std::string_view text) {
  auto doc = compile_text(text);
  if (!doc) return doc.error();
  return encode_document(*doc);
}

}  // namespace vorn::cli

#include "cli/pipeline.h"

#include "compile/json_parser.h"
#include "decode/utf8.h"

namespace vorn::cli {

namespace {

constexpr std::string_view BOM = "\xEF\xBB\xBF";

}  // namespace

std::string_view skip_bom(std::string_view text) {
  return text.starts_with(BOM) ? text.substr(BOM.size()) : text;
}

Status check_text(std::string_view text) {
  const Utf8Check check = check_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (check.ok) return {};
  const char* const begin = text.data();
  return FormatError{json_detail::positioned_message(begin, begin + text.size(),
                                                     begin + check.valid_up_to, "invalid UTF-8")};
}

std::string compile_message(const CompileError& e) {
  if (e.line == 0) return e.error.message;
  return "line " + std::to_string(e.line) + ": " + e.error.message;
}

CompileResult<ImageParts> compile_text(std::string_view text, const EncodeOptions& options) {
  if (Status st = check_text(text); !st) {
    return CompileError{st.error(), RefusingStep::JsonReader, 0};
  }
  const CompileOptions compile_options{.exact = options.exact};
  return options.lines ? compile_lines_image(text, compile_options)
                       : compile_image_parts(text, compile_options);
}

Result<ByteBuffer> encode_text(std::string_view text, const EncodeOptions& options) {
  auto parts = compile_text(skip_bom(text), options);
  if (!parts) return FormatError{compile_message(parts.error())};
  return join_image(std::move(*parts));
}

bool starts_like_json(std::string_view bytes) {
  bytes = skip_bom(bytes);
  const size_t at = bytes.find_first_not_of(" \t\r\n");
  return at != std::string_view::npos && (bytes[at] == '{' || bytes[at] == '[' || bytes[at] == '"');
}

}  // namespace vorn::cli

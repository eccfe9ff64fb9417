#include "cli/pipeline.h"

#include <new>

#include "cli/locate.h"
#include "compile/json_lines.h"
#include "compile/json_parser.h"
#include "decode/utf8.h"

namespace vorn::cli {

namespace {

constexpr std::string_view BOM = "\xEF\xBB\xBF";

// A builder for the JSON parser that keeps nothing, so that the grammar alone is checked, in
// memory bounded by the nesting of the text.
struct NoValues {
  void null_value() {}
  void bool_value(bool) {}
  void number_value(NumberForm, uint64_t) {}
  void string_value(std::string_view) {}
  void key(std::string_view) {}
  void begin_array() {}
  void end_array() {}
  void begin_object() {}
  void end_object() {}
  std::string& owned_string() {
    scratch.clear();  // what the last string held is never looked at again
    return scratch;
  }
  std::string scratch;
};

// Whether a text that the JSON reader refused is JSON Lines by its name and its first lines.
bool looks_like_json_lines(std::string_view text, std::string_view input) {
  if (!input.ends_with(".jsonl") && !input.ends_with(".ndjson")) return false;
  JsonLines split(text);
  JsonLine first;
  JsonLine second;
  if (!split.next(&first) || !split.next(&second)) return false;
  NoValues none;
  return JsonParser<NoValues>(first.text, none).parse();
}

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

std::string refusal_message(std::string_view text, const EncodeOptions& options,
                            const CompileError& e, std::string_view input) {
  std::optional<Location> at;
  try {
    at = locate_refusal(text, options.lines, e);
  } catch (const std::bad_alloc&) {
    // The place only helps: without the memory to find it, the refusal is reported alone.
  }
  const size_t line = at && at->line != 0 ? at->line : e.line;
  std::string out;
  if (line != 0) out = "line " + std::to_string(line) + ": ";
  if (at) out += at->path + ": ";
  out += e.error.message;
  if (e.step == RefusingStep::JsonReader && !options.lines && looks_like_json_lines(text, input)) {
    out += "; use --lines for JSON Lines";
  }
  return out;
}

Result<ImageParts, CompileError> compile_text(std::string_view text, const EncodeOptions& options) {
  if (Status st = check_text(text); !st) {
    return CompileError{std::move(st).error(), RefusingStep::JsonReader, 0};
  }
  const CompileOptions compile_options{.exact = options.exact};
  return options.lines ? compile_lines_image(text, compile_options)
                       : compile_image_parts(text, compile_options);
}

Result<ByteBuffer> encode_text(std::string_view text, const EncodeOptions& options,
                               std::string_view input) {
  text = skip_bom(text);
  auto parts = compile_text(text, options);
  if (!parts) return FormatError{refusal_message(text, options, parts.error(), input)};
  return join_image(std::move(*parts));
}

bool starts_like_json(std::string_view bytes) {
  bytes = skip_bom(bytes);
  const size_t at = bytes.find_first_not_of(" \t\r\n");
  return at != std::string_view::npos && (bytes[at] == '{' || bytes[at] == '[' || bytes[at] == '"');
}

}  // namespace vorn::cli

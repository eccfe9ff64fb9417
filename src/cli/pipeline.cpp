#include "cli/pipeline.h"

#include "compile/compile_image.h"
#include "compile/json_parser.h"
#include "decode/utf8.h"

namespace vorn::cli {

Status check_text(std::string_view text) {
  const Utf8Check check = check_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (check.ok) return {};
  const char* const begin = text.data();
  return FormatError{json_detail::positioned_message(begin, begin + text.size(),
                                                     begin + check.valid_up_to, "invalid UTF-8")};
}

Result<ByteBuffer> encode_text(std::string_view text) {
  if (Status st = check_text(text); !st) return st.error();
  return compile_image(text);
}

}  // namespace vorn::cli

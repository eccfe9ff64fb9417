// vorn decode: a VORN image back to JSON text, straight from the values read from it.

#include <string>

#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/pipeline.h"
#include "decompile/decompile.h"

namespace vorn::cli {

namespace {

constexpr std::string_view HELP = R"(usage: vorn decode IN.vorn [-o OUT.json] [--indent N]

Decodes a VORN image and writes its value as JSON text, on standard output or
into OUT.json. Object keys come in the order the image gives them (ascending
bytes), integers are written as integers and floating-point numbers as the
shortest text that reads back to the same double. An image with several
entries gives an array of their values, one without entries gives null.

options:
  -o, --output OUT   write to this file instead of standard output ('-' is
                     standard output)
  --indent N         break lines and indent nested values by N spaces (0 to 16);
                     without it the text is compact, on one line
  -h, --help         show this help
)";

constexpr unsigned MAX_INDENT = 16;

// The image's value as JSON text, ended by a line break.
Result<std::string> image_to_json(const ByteBuffer& image, int indent) {
  auto tree = decompile_image(bytes_of(image));  // views the image, which outlives it
  if (!tree) return tree.error();
  JsonWriter w(indent);
  w.reserve(image.size() * 2);
  write_json_value(w, *tree, tree->root_value());
  w.text() += '\n';
  return std::move(w.text());
}

}  // namespace

int run_decode(const Args& args) {
  const ParsedArgs parsed = parse_args(args, {{"output", 'o', true}, {"indent", 0, true}});
  if (parsed.help) return print_help(HELP);
  if (parsed.error) return usage_error("decode", *parsed.error);
  if (parsed.positional.size() != 1) return usage_error("decode", "give exactly one input file");
  int indent = -1;
  if (const auto text = parsed.value("indent")) {
    const auto n = parse_count(*text, MAX_INDENT);
    if (!n) return usage_error("decode", "--indent takes a number from 0 to 16");
    indent = static_cast<int>(*n);
  }
  const std::string_view in = parsed.positional[0];
  const auto out = parsed.value("output").value_or("-");
  if (out.empty()) return usage_error("decode", "the output name is empty");

  auto image = read_input(in);
  if (!image) return STATUS_DATA_ERROR;
  auto json = image_to_json(*image, indent);
  if (!json) {
    print_error(std::string(in) + ": " + json.error().message);
    return STATUS_DATA_ERROR;
  }
  return write_output(out, *json) ? STATUS_OK : STATUS_DATA_ERROR;
}

}  // namespace vorn::cli

// vorn inspect: what an image holds, block by block; for a damaged image, everything read
// before the fault and then the decoder's message.

#include <string>

#include "cli/commands.h"
#include "cli/image_view.h"
#include "cli/json_writer.h"
#include "cli/pipeline.h"
#include "decode/decode.h"
#include "decompile/decompile.h"

namespace vorn::cli {

namespace {

constexpr std::string_view HELP = R"(usage: vorn inspect IN.vorn [--json]

Shows what a VORN image holds: the header (version, and the offset and size of
the definition, dict and data blocks), the definition table (index, id, kind,
and the element type of an array definition or the fields of an object
definition with their tags), the dictionary (string count, total bytes and the
first strings) and the entries (definition index, kind and payload size).

For a damaged image it shows everything read before the fault, then names the
fault on standard error as the decoder reports it, and exits with status 1.

options:
  --json       print the same as one JSON document: the keys "file", "size",
               "header", "definitions", "dict", "entries" (null for a part not
               reached) and "error" (null, or the decoder's message)
  -h, --help   show this help
)";

constexpr size_t ENTRIES_SHOWN = 20;  // in the text form; --json lists every entry
constexpr size_t STRING_SHOWN = 60;   // bytes of a dict string shown in the text form

std::string pad_left(std::string s, size_t width) {
  return s.size() < width ? std::string(width - s.size(), ' ') + s : s;
}
std::string pad_right(std::string s, size_t width) {
  return s.size() < width ? s + std::string(width - s.size(), ' ') : s;
}
std::string num(uint64_t n) { return std::to_string(n); }
std::string kind_of(TypeTag t) { return std::string(tag_name(t)); }

// The first bytes of `s`, cut at a character boundary, as a JSON string literal.
std::string quoted_start(std::string_view s) {
  bool cut = false;
  if (s.size() > STRING_SHOWN) {
    size_t n = STRING_SHOWN;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    s = s.substr(0, n);
    cut = true;
  }
  std::string out;
  append_json_string(out, s);
  return cut ? out + "..." : out;
}

// "(only N read)" when a fault stopped a block early.
std::string read_note(size_t read, std::optional<uint32_t> count) {
  return count && read < *count ? cat({" (only ", num(read), " read)"}) : "";
}

// The part of a definition after its kind: element type or fields.
std::string definition_contents(const Definition& d) {
  if (d.elem_type) return cat({"of ", kind_of(*d.elem_type)});
  if (!d.fields) return "";
  std::string s = num(d.fields->size()) + (d.fields->size() == 1 ? " field" : " fields");
  for (size_t i = 0; i < d.fields->size(); ++i) {
    const FieldDef& f = (*d.fields)[i];
    s += (i == 0 ? ": " : ", ");
    s += quoted_start(f.name) + " " + kind_of(f.tag);
  }
  return s;
}

void text_header(std::string& out, const ImageView& v) {
  if (!v.has_header) return;
  out += cat({"header: version ", num(v.version), "\n"});
  const auto block = [&](std::string_view name, uint32_t offset, uint64_t size) {
    out += cat({"  ", pad_right(std::string(name), 18), "offset ", pad_left(num(offset), 10)});
    if (v.header_sound) out += cat({"  size ", pad_left(num(size), 10)});
    out += '\n';
  };
  block("definition block", v.def_offset, v.def_block_size());
  block("dict block", v.dict_offset, v.dict_block_size());
  block("data block", v.data_offset, v.data_block_size());
}

void text_definitions(std::string& out, const ImageView& v) {
  if (!v.def_count) return;
  out += cat({"definitions: ", num(*v.def_count), read_note(v.definitions.size(), v.def_count)});
  out += "\n";
  if (v.definitions.empty()) return;
  out += "  index     id  kind    contents\n";
  for (size_t i = 0; i < v.definitions.size(); ++i) {
    const Definition& d = v.definitions[i];
    out += cat({"  ", pad_left(num(i), 5), "  ", pad_left(num(d.id), 5), "  "});
    const std::string contents = definition_contents(d);
    out += contents.empty() ? kind_of(d.kind) : pad_right(kind_of(d.kind), 8) + contents;
    out += '\n';
  }
}

void text_dict(std::string& out, const ImageView& v) {
  if (!v.dict_count) return;
  out += cat({"dict: ", num(*v.dict_count), *v.dict_count == 1 ? " string" : " strings"});
  out += read_note(v.dict_read, v.dict_count) + ", " + byte_count(v.dict_bytes);
  if (v.dict_read > v.dict_first.size()) out += cat({", the first ", num(v.dict_first.size())});
  out += "\n";
  for (size_t i = 0; i < v.dict_first.size(); ++i) {
    out += cat({"  ", pad_left(num(i), 5), "  ", quoted_start(v.dict_first[i]), "\n"});
  }
}

void text_entries(std::string& out, const ImageView& v) {
  if (!v.entry_count) return;
  out += cat({"entries: ", num(*v.entry_count), read_note(v.entries.size(), v.entry_count), "\n"});
  if (v.entries.empty()) return;
  out += "  index  definition  kind    payload\n";
  const size_t shown = std::min(v.entries.size(), ENTRIES_SHOWN);
  for (size_t i = 0; i < shown; ++i) {
    const EntryInfo& e = v.entries[i];
    out += cat({"  ", pad_left(num(i), 5), "  ", pad_left(num(e.def_index), 10), "  "});
    out += pad_right(kind_of(v.definitions[e.def_index].kind), 8);
    out += byte_count(e.payload_size) + "\n";
  }
  if (shown < v.entries.size()) out += cat({"  ... ", num(v.entries.size() - shown), " more\n"});
}

std::string text_report(std::string_view path, const ImageView& v) {
  std::string out = cat({"file: ", path, " (", group_digits(v.size), " bytes)\n"});
  text_header(out, v);
  text_definitions(out, v);
  text_dict(out, v);
  text_entries(out, v);
  return out;
}

void json_block(JsonWriter& w, std::string_view name, uint32_t offset, uint64_t size, bool sized) {
  w.key(name);
  w.begin_object();
  w.member("offset", offset);
  w.key("size");
  if (sized) {
    w.number(size);
  } else {
    w.null();
  }
  w.end_object();
}

void json_header(JsonWriter& w, const ImageView& v) {
  w.key("header");
  if (!v.has_header) return w.null();
  w.begin_object();
  w.member("version", uint32_t{v.version});
  json_block(w, "definition_block", v.def_offset, v.def_block_size(), v.header_sound);
  json_block(w, "dict_block", v.dict_offset, v.dict_block_size(), v.header_sound);
  json_block(w, "data_block", v.data_offset, v.data_block_size(), v.header_sound);
  w.end_object();
}

void json_definition(JsonWriter& w, size_t index, const Definition& d) {
  w.begin_object();
  w.member("index", uint64_t{index});
  w.member("id", uint32_t{d.id});
  w.member("kind", tag_name(d.kind));
  if (d.elem_type) w.member("elem_type", tag_name(*d.elem_type));
  if (d.fields) {
    w.key("fields");
    w.begin_array();
    for (const FieldDef& f : *d.fields) {
      w.begin_object();
      w.member("name", f.name);
      w.member("tag", tag_name(f.tag));
      w.end_object();
    }
    w.end_array();
  }
  w.end_object();
}

void json_definitions(JsonWriter& w, const ImageView& v) {
  w.key("definitions");
  if (!v.def_count) return w.null();
  w.begin_object();
  w.member("count", *v.def_count);
  w.key("items");
  w.begin_array();
  for (size_t i = 0; i < v.definitions.size(); ++i) json_definition(w, i, v.definitions[i]);
  w.end_array();
  w.end_object();
}

void json_dict(JsonWriter& w, const ImageView& v) {
  w.key("dict");
  if (!v.dict_count) return w.null();
  w.begin_object();
  w.member("count", *v.dict_count);
  w.member("bytes", v.dict_bytes);
  w.key("first_strings");
  w.begin_array();
  for (const std::string& s : v.dict_first) w.string(s);
  w.end_array();
  w.end_object();
}

void json_entries(JsonWriter& w, const ImageView& v) {
  w.key("entries");
  if (!v.entry_count) return w.null();
  w.begin_object();
  w.member("count", *v.entry_count);
  w.key("items");
  w.begin_array();
  for (const EntryInfo& e : v.entries) {
    w.begin_object();
    w.member("definition", uint32_t{e.def_index});
    w.member("kind", tag_name(v.definitions[e.def_index].kind));
    w.member("payload_size", e.payload_size);
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

std::string json_report(std::string_view path, const ImageView& v, const Status& verdict) {
  JsonWriter w(2);
  w.begin_object();
  w.member("file", path);
  w.member("size", v.size);
  json_header(w, v);
  json_definitions(w, v);
  json_dict(w, v);
  json_entries(w, v);
  w.key("error");
  if (verdict) {
    w.null();
  } else {
    w.string(verdict.error().message);
  }
  w.end_object();
  w.text() += '\n';
  return std::move(w.text());
}

// The decoder's verdict on the image, then the decompiler's, which makes the checks the decoder
// leaves out (dict references, definition ids, finite floats).
Status check_image(const ByteBuffer& image, const ImageView& view) {
  auto doc = decode_document(bytes_of(image));
  if (!doc) return doc.error();
  auto tree = decompile_document(*doc);
  if (!tree) return tree.error();
  if (!view.complete) return FormatError{"the image is damaged"};  // never expected
  return {};
}

}  // namespace

int run_inspect(const Args& args) {
  const ParsedArgs parsed = parse_args(args, {{"json", 0, false}});
  if (parsed.help) return print_help(HELP);
  if (parsed.error) return usage_error("inspect", *parsed.error);
  if (parsed.positional.size() != 1) return usage_error("inspect", "give exactly one input file");
  const std::string_view in = parsed.positional[0];

  auto image = read_input(in);
  if (!image) return STATUS_DATA_ERROR;
  const ImageView view = read_image_view(bytes_of(*image));
  const Status verdict = check_image(*image, view);
  const std::string report =
      parsed.has("json") ? json_report(in, view, verdict) : text_report(in, view);
  if (!write_stdout(report)) {
    print_error("standard output: write failed");
    return STATUS_DATA_ERROR;
  }
  if (verdict) return STATUS_OK;
  print_error(std::string(in) + ": " + verdict.error().message);
  return STATUS_DATA_ERROR;
}

}  // namespace vorn::cli

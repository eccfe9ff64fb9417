// vorn inspect: what an image holds, block by block; for a damaged image, everything the
// decoder read before the fault and then its message.

#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/html_report.h"
#include "cli/json_writer.h"
#include "cli/output.h"
#include "cli/pipeline.h"
#include "cli/sizes.h"
#include "decode/decode.h"
#include "decode/walker.h"
#include "decompile/decompile.h"

namespace vorn::cli {

namespace {

constexpr std::string_view HELP =
    R"(usage: vorn inspect IN.vorn [--json] [--sizes] [--html REPORT.html [-f]]

Shows what a VORN image holds: the header (version, and the offset and size of
the definition, dict and data blocks), the definition table (index, id, kind,
and the element type of an array definition or the fields of an object
definition with their tags), the dictionary (string count, total bytes and the
first strings) and the entries (definition index, kind and payload size).

An image of JSON Lines (vorn encode --lines) holds one entry per line. An input
of '-' is standard input. Counts, sizes and offsets are grouped in thousands in
the text form and plain in the JSON form.

For a damaged image it shows everything read before the fault, then names the
fault on standard error as the decoder reports it, and exits with status 1.

With --sizes it shows instead where the bytes of the image go: the blocks
(header, definition block, dict block, entry table, payloads), then each
definition that values use, the most payload bytes first: its index, how many
values use it, their own bytes ("self": headers, counts and the scalars and
strings inside them) and their bytes with the arrays and objects nested in
them ("total"; a value nested in one of the same definition counts once), each
with its share of the image, and its shape (an object's fields with their
kinds, for more than four fields the four whose values take the most bytes; an
array or object field, or an array's elements, with the definition its values
use, "#N"). The first 30 definitions are listed, then the rest summed. Then
the payload bytes by kind (array and object headers, inline strings,
references, numbers, booleans, nulls) and the strings: inline, in the
dictionary, and the bytes that references save over writing each referred
string inline. The blocks add up to the image, and the
definitions' self bytes and the kinds each add up to the payloads. A damaged
image is shown as without --sizes.

options:
  --json       print the same as one JSON document: the keys "file", "size",
               "header", "definitions", "dict", "entries" (null for a part not
               reached) and "error" (null, or the decoder's message); with
               --sizes also "sizes" (null for a damaged image), which lists
               every definition that values use and the fields of each in full
  --sizes      show where the bytes of the image go (see above)
  --html REPORT.html
               write the same figures as one self-contained HTML page with
               bars (inline CSS, no script, nothing loaded from elsewhere);
               nothing is printed unless --sizes or --json is given too; no
               page is written for a damaged image
  -f, --force  replace an existing REPORT.html
  -h, --help   show this help
)";

constexpr size_t ENTRIES_SHOWN = 20;  // in the text form; --json lists every entry
constexpr size_t STRING_SHOWN = 60;   // bytes of a dict string shown in the text form
constexpr size_t STRINGS_SHOWN = 10;  // dict strings listed, in both forms

// The header of one data entry.
struct EntryInfo {
  uint16_t def_index = 0;
  uint32_t payload_size = 0;
};

// Keeps the header of each entry the decoder reaches; the values themselves only pass the
// decoder's checks.
struct EntrySink : CheckingSink {
  std::vector<EntryInfo>& entries;

  explicit EntrySink(std::vector<EntryInfo>& out) : entries(out) {}
  bool begin_entry(uint32_t, uint16_t def_index, uint32_t payload_size) {
    entries.push_back(EntryInfo{def_index, payload_size});
    return true;
  }
};

// What the decoder read of an image, up to its first fault if it has one.
struct Inspection {
  uint64_t size = 0;  // the image length
  ImageLayout layout;
  std::vector<EntryInfo> entries;  // each entry whose header passed the decoder's checks
  Status verdict;                  // the decoder's first fault, or the decompiler's

  uint64_t def_block_size() const { return layout.dict_block_offset - layout.def_block_offset; }
  uint64_t dict_block_size() const { return layout.data_block_offset - layout.dict_block_offset; }
  uint64_t data_block_size() const { return size - layout.data_block_offset; }
  TypeTag entry_kind(const EntryInfo& e) const { return layout.defs[e.def_index].kind; }
};

// The decompiler's verdict on an image that the decoder accepts: it makes the checks the decoder
// leaves out (dict references, definition ids, finite floats), and makes no value.
Status decompiler_verdict(std::span<const uint8_t> image) {
  ImageLayout layout;
  return check_image(image, layout);
}

// Reads `image` through the decoder, keeping what it reads up to its first fault; an image the
// decoder accepts goes on to the decompiler. The layout views `image`, which must outlive it.
Inspection inspect_image(std::span<const uint8_t> image) {
  Inspection in;
  in.size = image.size();
  in.verdict = read_layout(image, in.layout);
  if (!in.verdict) return in;
  // Every entry takes at least its six header bytes.
  in.entries.reserve(std::min<size_t>(in.layout.entry_count, (in.layout.data.size() - 4) / 6));
  EntrySink sink(in.entries);
  PayloadWalker<EntrySink> walker(in.layout, sink);
  if (!walker.walk_entries()) {
    in.verdict = FormatError{walker.error()};
    return in;
  }
  in.verdict = decompiler_verdict(image);
  return in;
}

std::string pad_left(std::string s, size_t width) {
  return s.size() < width ? std::string(width - s.size(), ' ') + s : s;
}
std::string pad_right(std::string s, size_t width) {
  return s.size() < width ? s + std::string(width - s.size(), ' ') : s;
}
std::string num(uint64_t n) { return group_digits(n); }
std::string kind_of(TypeTag t) { return std::string(tag_name(t)); }

// "(only N read)" when a fault stopped a block early.
std::string read_note(size_t read, std::optional<uint32_t> count) {
  return count && read < *count ? cat({" (only ", num(read), " read)"}) : "";
}

// The part of a definition after its kind: element type or fields.
std::string definition_contents(const ImageLayout& layout, const DefView& d) {
  if (d.has_elem_type) return cat({"of ", kind_of(d.elem_type)});
  if (!d.has_fields) return "";
  std::string s = num(d.field_count) + (d.field_count == 1 ? " field" : " fields");
  const auto fields = layout.fields_of(d);
  for (size_t i = 0; i < fields.size(); ++i) {
    s += (i == 0 ? ": " : ", ");
    s += quoted_prefix(fields[i].name, STRING_SHOWN) + " " + kind_of(fields[i].tag);
  }
  return s;
}

// The dict strings read, and their lengths added up.
uint64_t dict_bytes(const ImageLayout& layout) {
  uint64_t n = 0;
  for (std::string_view s : layout.strings) n += s.size();
  return n;
}

std::span<const std::string_view> dict_shown(const ImageLayout& layout) {
  return {layout.strings.data(), std::min(layout.strings.size(), STRINGS_SHOWN)};
}

void text_header(std::string& out, const Inspection& in) {
  const ImageLayout& l = in.layout;
  if (!l.header_read) return;
  out += cat({"header: version ", num(l.version), "\n"});
  const auto block = [&](std::string_view name, uint32_t offset, uint64_t size) {
    out += cat({"  ", pad_right(std::string(name), 18), "offset ", pad_left(num(offset), 10)});
    if (l.header_valid) out += cat({"  size ", pad_left(num(size), 10)});
    out += '\n';
  };
  block("definition block", l.def_block_offset, in.def_block_size());
  block("dict block", l.dict_block_offset, in.dict_block_size());
  block("data block", l.data_block_offset, in.data_block_size());
}

void text_definitions(std::string& out, const ImageLayout& l) {
  const auto count = l.declared.definitions;
  if (!count) return;
  out += cat({"definitions: ", num(*count), read_note(l.defs.size(), count), "\n"});
  if (l.defs.empty()) return;
  out += "  index     id  kind    contents\n";
  for (size_t i = 0; i < l.defs.size(); ++i) {
    const DefView& d = l.defs[i];
    out += cat({"  ", pad_left(num(i), 5), "  ", pad_left(num(d.id), 5), "  "});
    const std::string contents = definition_contents(l, d);
    out += contents.empty() ? kind_of(d.kind) : pad_right(kind_of(d.kind), 8) + contents;
    out += '\n';
  }
}

void text_dict(std::string& out, const ImageLayout& l) {
  const auto count = l.declared.dict_strings;
  if (!count) return;
  const auto shown = dict_shown(l);
  out += cat({"dict: ", num(*count), *count == 1 ? " string" : " strings"});
  out += read_note(l.strings.size(), count) + ", " + byte_count(dict_bytes(l));
  if (l.strings.size() > shown.size()) out += cat({", the first ", num(shown.size())});
  out += "\n";
  for (size_t i = 0; i < shown.size(); ++i) {
    out += cat({"  ", pad_left(num(i), 5), "  ", quoted_prefix(shown[i], STRING_SHOWN), "\n"});
  }
}

void text_entries(std::string& out, const Inspection& in) {
  const auto count = in.layout.declared.entries;
  if (!count) return;
  out += cat({"entries: ", num(*count), read_note(in.entries.size(), count), "\n"});
  if (in.entries.empty()) return;
  out += "  index  definition  kind    payload\n";
  const size_t shown = std::min(in.entries.size(), ENTRIES_SHOWN);
  for (size_t i = 0; i < shown; ++i) {
    const EntryInfo& e = in.entries[i];
    out += cat({"  ", pad_left(num(i), 5), "  ", pad_left(num(e.def_index), 10), "  "});
    out += pad_right(kind_of(in.entry_kind(e)), 8);
    out += byte_count(e.payload_size) + "\n";
  }
  if (shown < in.entries.size()) out += cat({"  ... ", num(in.entries.size() - shown), " more\n"});
}

std::string text_report(std::string_view path, const Inspection& in) {
  std::string out = cat({"file: ", path, " (", byte_count(in.size), ")\n"});
  text_header(out, in);
  text_definitions(out, in.layout);
  text_dict(out, in.layout);
  text_entries(out, in);
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

void json_header(JsonWriter& w, const Inspection& in) {
  const ImageLayout& l = in.layout;
  w.key("header");
  if (!l.header_read) return w.null();
  w.begin_object();
  w.member("version", uint32_t{l.version});
  json_block(w, "definition_block", l.def_block_offset, in.def_block_size(), l.header_valid);
  json_block(w, "dict_block", l.dict_block_offset, in.dict_block_size(), l.header_valid);
  json_block(w, "data_block", l.data_block_offset, in.data_block_size(), l.header_valid);
  w.end_object();
}

void json_definition(JsonWriter& w, const ImageLayout& l, size_t index) {
  const DefView& d = l.defs[index];
  w.begin_object();
  w.member("index", uint64_t{index});
  w.member("id", uint32_t{d.id});
  w.member("kind", tag_name(d.kind));
  if (d.has_elem_type) w.member("elem_type", tag_name(d.elem_type));
  if (d.has_fields) {
    w.key("fields");
    w.begin_array();
    for (const FieldView& f : l.fields_of(d)) {
      w.begin_object();
      w.member("name", f.name);
      w.member("tag", tag_name(f.tag));
      w.end_object();
    }
    w.end_array();
  }
  w.end_object();
}

void json_definitions(JsonWriter& w, const ImageLayout& l) {
  w.key("definitions");
  if (!l.declared.definitions) return w.null();
  w.begin_object();
  w.member("count", *l.declared.definitions);
  w.key("items");
  w.begin_array();
  for (size_t i = 0; i < l.defs.size(); ++i) json_definition(w, l, i);
  w.end_array();
  w.end_object();
}

void json_dict(JsonWriter& w, const ImageLayout& l) {
  w.key("dict");
  if (!l.declared.dict_strings) return w.null();
  w.begin_object();
  w.member("count", *l.declared.dict_strings);
  w.member("bytes", dict_bytes(l));
  w.key("first_strings");
  w.begin_array();
  for (std::string_view s : dict_shown(l)) w.string(s);
  w.end_array();
  w.end_object();
}

void json_entries(JsonWriter& w, const Inspection& in) {
  w.key("entries");
  if (!in.layout.declared.entries) return w.null();
  w.begin_object();
  w.member("count", *in.layout.declared.entries);
  w.key("items");
  w.begin_array();
  for (const EntryInfo& e : in.entries) {
    w.begin_object();
    w.member("definition", uint32_t{e.def_index});
    w.member("kind", tag_name(in.entry_kind(e)));
    w.member("payload_size", e.payload_size);
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

std::string json_report(std::string_view path, const Inspection& in, const SizesSection& sizes) {
  JsonWriter w(2);
  w.begin_object();
  w.member("file", path);
  w.member("size", in.size);
  json_header(w, in);
  json_definitions(w, in.layout);
  json_dict(w, in.layout);
  json_entries(w, in);
  if (sizes.wanted) sizes_member(w, in.layout, sizes.sizes);
  w.key("error");
  if (in.verdict) {
    w.null();
  } else {
    w.string(in.verdict.error().message);
  }
  w.end_object();
  w.text() += '\n';
  return std::move(w.text());
}

// Reads, inspects and reports on the input `in`, as `parsed` asks; the exit status.
int inspect_input(const ParsedArgs& parsed, std::string_view in) {
  const std::string_view name = display_name(in);
  const auto html = parsed.value("html");
  if (html && *html == STD_STREAM) return usage_error("inspect", "--html takes a file name");
  if (html) {
    if (Status st = check_target(in, *html, parsed.has("force")); !st) {
      print_error(st.error().message);
      return STATUS_DATA_ERROR;
    }
  }

  auto image = read_input(in);
  if (!image) {
    print_error(image.error().message);
    return STATUS_DATA_ERROR;
  }
  const Inspection inspection = inspect_image(bytes_of(*image));
  if (!inspection.verdict && starts_like_json(image->view())) {
    print_error(cat({name, ": ", JSON_GIVEN_AS_IMAGE}));
    return STATUS_DATA_ERROR;
  }
  SizesSection sizes{parsed.has("sizes"), std::nullopt};
  if ((sizes.wanted || html) && inspection.verdict) {
    if (!measure_for_inspect(bytes_of(*image), inspection.layout, name, sizes)) {
      return STATUS_DATA_ERROR;
    }
    if (html && !write_html_report(*html, name, inspection.layout, *sizes.sizes)) {
      return STATUS_DATA_ERROR;
    }
  }
  const bool json = parsed.has("json");
  std::string report;
  if (json) {
    report = json_report(name, inspection, sizes);
  } else if (sizes.sizes && sizes.wanted) {
    report = sizes_text(name, inspection.layout, *sizes.sizes);
  } else if (!html || sizes.wanted || !inspection.verdict) {
    report = text_report(name, inspection);
  }
  if (!report.empty() && !print_out(report)) return STATUS_DATA_ERROR;
  if (html && !inspection.verdict) {
    print_error(cat({*html, ": not written: the image has a fault"}));
  }
  if (inspection.verdict) return STATUS_OK;
  print_error(cat({name, ": ", inspection.verdict.error().message}));
  return STATUS_DATA_ERROR;
}

}  // namespace

int run_inspect(const Args& args) {
  const ParsedArgs parsed =
      parse_args(args, {OPT_JSON, OPT_FORCE, {"sizes", 0, false}, {"html", 0, true}});
  if (parsed.help) return print_help(HELP);
  if (parsed.error) return usage_error("inspect", *parsed.error);
  if (parsed.positional.size() != 1) return usage_error("inspect", "give exactly one input file");
  const std::string_view in = parsed.positional[0];
  try {
    return inspect_input(parsed, in);
  } catch (const std::bad_alloc&) {
    // Written in pieces: a message made in memory could fail for the same reason.
    print_err_text("vorn: ");
    print_err_text(display_name(in));
    print_err_text(": out of memory\n");
    return STATUS_DATA_ERROR;
  }
}

}  // namespace vorn::cli

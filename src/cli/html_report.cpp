// The page of `vorn inspect --html`: stacked bars for the blocks and the kinds of payload bytes,
// one bar per definition, tables with the exact figures beside them.

#include "cli/html_report.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "cli/common.h"
#include "format/format.h"
#include "format/json_text.h"
#include "io/file_io.h"

namespace vorn::cli {

namespace {

constexpr size_t ROWS_SHOWN = 60;   // definitions with a bar of their own; the rest share one
constexpr size_t FIELDS_SHOWN = 4;  // fields of an object in a row's label
constexpr size_t FIELDS_IN_TITLE = MAX_OBJECT_FIELDS;  // every field, in the hover text

constexpr std::string_view STYLE = R"(
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: #1d232b;
       margin: 24px auto; max-width: 1160px; padding: 0 16px; }
h1 { font-size: 21px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 28px 0 8px; }
p.note { color: #555; margin: 4px 0 10px; }
.stack { display: flex; height: 30px; border: 1px solid #8a96a3; border-radius: 3px;
         overflow: hidden; background: #f3f5f7; }
.stack div { height: 100%; min-width: 1px; }
table { border-collapse: collapse; margin-top: 8px; }
th, td { padding: 3px 10px; text-align: right; white-space: nowrap; vertical-align: middle; }
th { font-weight: 600; border-bottom: 1px solid #c5ccd3; }
td.label, th.label { text-align: left; white-space: normal; }
td.label { max-width: 520px; overflow-wrap: anywhere; }
tr:nth-child(even) td { background: #f7f9fa; }
.sw { display: inline-block; width: 12px; height: 12px; border-radius: 2px;
      vertical-align: -1px; margin-right: 6px; }
.bar { position: relative; width: 300px; height: 14px; background: #eef1f4; }
.bar .total { position: absolute; left: 0; top: 0; bottom: 0; background: #b7d0ea; }
.bar .self { position: absolute; left: 0; top: 0; bottom: 0; background: #2a6cb0; }
code { font: 12px/1.4 ui-monospace, "DejaVu Sans Mono", monospace; }
)";

// One color per block and per kind of payload byte, in the order they are listed.
constexpr std::array<std::string_view, 9> COLORS = {"#2a6cb0", "#e07b39", "#3a9c5b",
                                                    "#c4424b", "#8058b5", "#b08b2a",
                                                    "#4aa7b8", "#d46fa8", "#7b8794"};

// `part` of `whole` as a CSS percentage with two decimals, in integers so that the page is the
// same everywhere.
std::string css_percent(uint64_t part, uint64_t whole) {
  const uint64_t hundredths = whole == 0 ? 0 : part * 10000 / whole;
  const uint64_t frac = hundredths % 100;
  return cat(
      {std::to_string(hundredths / 100), ".", frac < 10 ? "0" : "", std::to_string(frac), "%"});
}

struct Part {
  std::string_view name;
  uint64_t bytes;
};

// A stacked bar of `parts` to the scale of `bar_whole`, then a table of them with their shares
// of the image (`image` bytes) and, when given, their counts.
struct Counts {
  std::string_view header;
  std::span<const uint64_t> values;
};
void stacked(std::string& out, std::span<const Part> parts, uint64_t bar_whole, uint64_t image,
             Counts counts = {}) {
  out += "<div class=\"stack\">";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].bytes == 0) continue;
    out += cat({"<div style=\"width:", css_percent(parts[i].bytes, bar_whole),
                ";background:", COLORS[i % COLORS.size()], "\" title=\"",
                html_escape(parts[i].name), ": ", byte_count(parts[i].bytes), "\"></div>"});
  }
  out += "</div>\n<table><tr><th class=\"label\">part</th>";
  if (!counts.values.empty()) out += cat({"<th>", counts.header, "</th>"});
  out += "<th>bytes</th><th>share of the image</th></tr>\n";
  for (size_t i = 0; i < parts.size(); ++i) {
    out += cat({"<tr><td class=\"label\"><span class=\"sw\" style=\"background:",
                COLORS[i % COLORS.size()], "\"></span>", html_escape(parts[i].name), "</td>"});
    if (!counts.values.empty()) out += cat({"<td>", group_digits(counts.values[i]), "</td>"});
    out += cat({"<td>", group_digits(parts[i].bytes), "</td><td>", percent(parts[i].bytes, image),
                "</td></tr>\n"});
  }
  out += "</table>\n";
}

void blocks_section(std::string& out, const ImageSizes& s) {
  out += "<h2>Blocks</h2>\n";
  std::vector<Part> parts = {{"header", s.header},
                             {"definition block", s.definition_block},
                             {"dict block", s.dict_block},
                             {"entry table", s.entry_table},
                             {"payloads", s.payloads}};
  if (s.unused != 0) parts.push_back({"unused", s.unused});
  stacked(out, parts, s.image, s.image);
}

void definition_row(std::string& out, const ImageLayout& layout, const ImageSizes& s,
                    const DefinitionSizes& d) {
  const std::string label = definition_shape(layout, s, d.index, FIELDS_SHOWN);
  const std::string full =
      definition_shape(layout, s, d.index, FIELDS_IN_TITLE, MAX_FIELD_NAME_LEN);
  out += cat({"<tr><td>#",
              std::to_string(d.index),
              "</td><td class=\"label\" title=\"",
              html_escape(full),
              "\"><code>",
              html_escape(label),
              "</code></td><td>",
              group_digits(d.values),
              "</td><td>",
              group_digits(d.self),
              "</td><td>",
              percent(d.self, s.image),
              "</td><td>",
              group_digits(d.total),
              "</td><td>",
              percent(d.total, s.image),
              "</td><td><div class=\"bar\"><div class=\"total\" ",
              "style=\"width:",
              css_percent(d.total, s.payloads),
              "\"></div><div class=\"self\" ",
              "style=\"width:",
              css_percent(d.self, s.payloads),
              "\"></div></div></td></tr>\n"});
}

void definitions_section(std::string& out, const ImageLayout& layout, const ImageSizes& s) {
  out +=
      cat({"<h2>Definitions by payload bytes</h2>\n<p class=\"note\">Self: the bytes of the "
           "values of a definition themselves (headers and the scalars inside them, strings "
           "included), dark in the bar. Total: with the arrays and objects nested in them, "
           "light. Bars are to the scale of all payload bytes (",
           byte_count(s.payloads),
           "). An array or object field names the definition its "
           "values use (#N).</p>\n<table><tr><th>def</th><th class=\"label\">shape</th>"
           "<th>values</th><th>self</th><th>share</th><th>total</th><th>share</th>"
           "<th class=\"label\">self / total</th></tr>\n"});
  const size_t shown = std::min(s.definitions.size(), ROWS_SHOWN);
  for (size_t i = 0; i < shown; ++i) definition_row(out, layout, s, s.definitions[i]);
  if (shown < s.definitions.size()) {
    uint64_t values = 0;
    uint64_t self = 0;
    for (size_t i = shown; i < s.definitions.size(); ++i) {
      values += s.definitions[i].values;
      self += s.definitions[i].self;
    }
    out += cat({"<tr><td></td><td class=\"label\">", group_digits(s.definitions.size() - shown),
                " more definitions</td><td>", group_digits(values), "</td><td>", group_digits(self),
                "</td><td>", percent(self, s.image),
                "</td><td></td><td></td><td><div class=\"bar\"><div class=\"self\" style=\"width:",
                css_percent(self, s.payloads), "\"></div></div></td></tr>\n"});
  }
  out += "</table>\n";
}

void kinds_section(std::string& out, const ImageSizes& s) {
  out +=
      "<h2>Payloads by kind</h2>\n<p class=\"note\">The bar is to the scale of the payloads.</p>\n";
  const StringSizes& st = s.strings;
  const ScalarCounts& c = s.scalars;
  const std::array<Part, 9> parts = {{{"array headers", 6 * s.arrays},
                                      {"object headers", 2 * s.objects},
                                      {"inline strings", st.inline_bytes},
                                      {"string references", st.ref_bytes},
                                      {"Int32", 4 * c.int32s},
                                      {"UInt32", 4 * c.uint32s},
                                      {"Float32", 4 * c.float32s},
                                      {"Bool", c.bools},
                                      {"Null", 0}}};
  const std::array<uint64_t, 9> counts = {s.arrays,     s.objects, st.inline_count,
                                          st.ref_count, c.int32s,  c.uint32s,
                                          c.float32s,   c.bools,   c.nulls};
  stacked(out, parts, s.payloads, s.image, {"values", counts});
}

void strings_section(std::string& out, const ImageSizes& s) {
  const StringSizes& st = s.strings;
  const int64_t instead = st.saved + static_cast<int64_t>(st.ref_bytes);
  const int64_t net = st.saved - static_cast<int64_t>(st.dict_bytes);
  out += "<h2>Strings</h2>\n";
  const std::array<Part, 3> parts = {{{"written inline", st.inline_bytes},
                                      {"the dictionary (the whole dict block)", st.dict_bytes},
                                      {"references to the dictionary", st.ref_bytes}}};
  const std::array<uint64_t, 3> counts = {st.inline_count, st.dict_count, st.ref_count};
  const uint64_t all = st.inline_bytes + st.dict_bytes + st.ref_bytes;
  stacked(out, parts, all, s.image, {"strings", counts});
  out +=
      cat({"<p class=\"note\">Written inline at each reference instead, the referred "
           "strings would take ",
           signed_byte_count(instead), ": the references save ", signed_byte_count(st.saved), ", ",
           signed_byte_count(net), " net of the dict block.</p>\n"});
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += ch;
    }
  }
  return out;
}

std::string html_report(std::string_view name, const ImageLayout& layout, const ImageSizes& sizes) {
  // The name of the file is shown as a JSON literal would show it: control characters and
  // other oddities of a file name come out escaped, never raw.
  std::string shown_name;
  append_json_string(shown_name, name);
  const std::string title = html_escape(shown_name);
  std::string out =
      cat({"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<title>vorn inspect: ",
           title, "</title>\n<style>", STYLE, "</style>\n</head>\n<body>\n"});
  out += cat({"<h1>Where the bytes of ", title, " go</h1>\n<p class=\"note\">",
              byte_count(sizes.image), " in all: ", group_digits(layout.defs.size()),
              " definitions (", group_digits(sizes.definitions.size()), " used by values), ",
              group_digits(sizes.strings.dict_count), " dictionary strings, ",
              group_digits(layout.entry_count), layout.entry_count == 1 ? " entry" : " entries",
              ".</p>\n"});
  blocks_section(out, sizes);
  definitions_section(out, layout, sizes);
  kinds_section(out, sizes);
  strings_section(out, sizes);
  out += "</body>\n</html>\n";
  return out;
}

bool write_html_report(std::string_view path, std::string_view name, const ImageLayout& layout,
                       const ImageSizes& sizes) {
  const std::string page = html_report(name, layout, sizes);
  if (auto written = write_image_file(path, page); !written) {
    print_error(cat({path, ": ", written.error().message()}));
    return false;
  }
  return true;
}

}  // namespace vorn::cli

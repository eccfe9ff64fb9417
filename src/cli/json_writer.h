// A JSON text writer for the command: compact or indented, keys in the order they are given,
// integers as integers and doubles as the shortest text that reads back to the same double.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "format/json_text.h"  // append_json_string, append_json_double
#include "format/json_value.h"

namespace vorn::cli {

// Builds one JSON document in memory. The caller keeps the calls balanced; the writer only
// places separators, line breaks and indentation.
class JsonWriter {
 public:
  // `indent` < 0 writes compact text; 0 or more breaks lines and indents by that many spaces.
  explicit JsonWriter(int indent = -1) : indent_(indent) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // The key of the next member of the innermost object.
  void key(std::string_view name);

  void null();
  void boolean(bool b);
  void number(uint64_t u);
  void number(int64_t i);
  void number(double d);
  void number(uint32_t u) { number(static_cast<uint64_t>(u)); }
  void string(std::string_view s);

  // Shorthand for a member with a value.
  template <class T>
  void member(std::string_view name, const T& value) {
    key(name);
    put(value);
  }

  const std::string& text() const noexcept { return out_; }
  std::string& text() noexcept { return out_; }
  void reserve(size_t n) { out_.reserve(n); }

 private:
  void put(std::string_view s) { string(s); }
  void put(const char* s) { string(s); }
  void put(const std::string& s) { string(s); }
  void put(bool b) { boolean(b); }
  void put(uint64_t u) { number(u); }
  void put(uint32_t u) { number(u); }
  void put(int64_t i) { number(i); }
  void put(double d) { number(d); }

  void open(char bracket);
  void close(char bracket);
  void before_value();
  void newline(size_t depth);

  std::string out_;
  std::vector<bool> has_items_;  // one flag per open container: does it hold anything yet
  int indent_;
  bool after_key_ = false;
};

// Writes the value `v` of `tree` and everything inside it.
void write_json_value(JsonWriter& w, const JsonTree& tree, const JsonValue& v);

// Takes the text written so far; false when it could not be written, which stops the writer.
using TextSink = std::function<bool(std::string_view)>;

// The text a writer holds before it hands it to its sink: the memory taken by the output, apart
// from a single string longer than this.
inline constexpr size_t JSON_CHUNK_BYTES = size_t{256} << 10;

// Writes the value of an image as JSON text straight from its bytes, handing the text to `sink`
// in pieces of about JSON_CHUNK_BYTES: the text write_json_value writes of the image's
// decompiled tree, ended by a line break (null for an image without entries, an array of the
// values for several entries); with `lines`, each entry's value compact on a line of its own
// (nothing for an image without entries). The memory taken is bounded by the nesting depth and
// the image's tables, whatever the size of the text. `layout` must be the layout check_image
// accepted (the bytes are read without checks) and its image must outlive the call. False when
// the sink failed; the text handed over before then stays written.
bool write_image_json(const ImageLayout& layout, int indent, bool lines, const TextSink& sink);

}  // namespace vorn::cli

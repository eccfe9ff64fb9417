// The error values of the core. A Result hands its value and its error on by moving them, never
// by copying; it takes an error that its error type is made from (an IoError where that is a
// ConvertError). The compile chains mark the exactness refusal on its CompileError, the fused
// compiler and the reference chain alike, and no other refusal; the tape reader fails with the
// JSON reader's error. A plain main: prints each failed check and exits 1.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "check.h"
#include "compile/compile.h"
#include "compile/compile_image.h"
#include "compile/json_reader.h"
#include "compile/tape.h"
#include "format/result.h"
#include "io/file_io.h"

namespace {

using vorn::RefusingStep;
using vorn::Result;

int copies = 0;

// Counts its copies, so that a Result that copies a value or an error on its way shows. Two
// kinds: a Result's value and its error are of different types.
template <int Kind>
struct Counted {
  std::vector<int> payload{1, 2, 3};
  Counted() = default;
  Counted(const Counted& o) : payload(o.payload) { ++copies; }
  Counted(Counted&&) noexcept = default;
  Counted& operator=(const Counted& o) {
    payload = o.payload;
    ++copies;
    return *this;
  }
  Counted& operator=(Counted&&) noexcept = default;
};
using Value = Counted<0>;
using Error = Counted<1>;

Result<Value, Error> value_of() {
  Value v;
  return v;
}
Result<int, Error> error_of() { return Error{}; }
Result<void, Error> failed_status() { return Error{}; }
Result<Value, Error> passed_on() {
  Result<int, Error> r = error_of();
  if (!r) return std::move(r).error();
  return Value{};
}

void moves_never_copy() {
  current_case = "moves";
  copies = 0;
  Result<Value, Error> v = value_of();
  CHECK(v && v->payload.size() == 3);
  const Value taken = std::move(*v);
  const Error error = error_of().error();
  CHECK(taken.payload.size() == 3 && error.payload.size() == 3);
  Result<void, Error> status = failed_status();
  CHECK(!status && status.error().payload.size() == 3);
  CHECK(!passed_on());
  CHECK(copies == 0);
}

// Errors that the error type is made from land as that error, not as a value.
void converting_errors() {
  current_case = "ConvertError";
  Result<int, vorn::ConvertError> io = vorn::IoError::system(ENOENT);
  CHECK(!io && std::holds_alternative<vorn::IoError>(io.error()));
  Result<int, vorn::ConvertError> format = vorn::FormatError{"refused"};
  CHECK(!format && std::get<vorn::FormatError>(format.error()).message == "refused");
  vorn::Status ok;
  CHECK(ok);
  vorn::Status refused = vorn::FormatError{"refused"};
  CHECK(!refused && refused.error().message == "refused");
}

// read_checked_file: the operating system's refusal, then the check's.
vorn::Status refuse_all(std::span<const uint8_t>, uint64_t) {
  return vorn::FormatError{"not an image"};
}

void checked_reads() {
  current_case = "read_checked_file";
  Result<vorn::ByteBuffer, vorn::ConvertError> missing =
      vorn::read_checked_file("/nonexistent/vorn-errors-test", 16, &refuse_all);
  CHECK(!missing && std::get<vorn::IoError>(missing.error()).code == ENOENT);
  char path[] = "/tmp/vorn-errors-test-XXXXXX";
  const int fd = ::mkstemp(path);
  CHECK(fd >= 0 && ::write(fd, "{}", 2) == 2);
  ::close(fd);
  Result<vorn::ByteBuffer, vorn::ConvertError> refused =
      vorn::read_checked_file(path, 16, &refuse_all);
  CHECK(!refused && std::get<vorn::FormatError>(refused.error()).message == "not an image");
  Result<vorn::ByteBuffer, vorn::IoError> whole = vorn::read_image_file(path);
  CHECK(whole && whole->view() == "{}");
  ::unlink(path);
}

struct Refusal {
  std::string_view name;
  std::string_view text;
  bool lines;
  bool exact;
  vorn::RefusingStep step;
  size_t line;
  bool inexact;
  std::string_view message;
};

const Refusal REFUSALS[] = {
    {"changed float", "1.1", false, true, RefusingStep::Compiler, 0, true,
     "$: 1.1 would read back as 1.100000023841858"},
    {"changed item", "{\"a\": [0.5, 2.5, 0.1]}", false, true, RefusingStep::Compiler, 0, true,
     "$.a[2]: 0.1 would read back as 0.10000000149011612"},
    {"mixed array", "[1, \"a\", 1.1]", false, true, RefusingStep::Compiler, 0, false,
     "Array item 1 is String but elem_type is Int32"},
    {"not JSON", "[1.1,", false, true, RefusingStep::JsonReader, 0, false,
     "EOF while parsing a value at line 1 column 5"},
    {"float beyond float32", "[1.1, 1e39]", false, true, RefusingStep::Reader, 0, false,
     "Cannot represent float inf"},
    {"changed line", "1\n\n[0.5, 2.5]\n[0.1]\n", true, true, RefusingStep::Compiler, 4, true,
     "$[0]: 0.1 would read back as 0.10000000149011612"},
    {"line not JSON", "0.1\n{", true, true, RefusingStep::JsonReader, 2, false,
     "EOF while parsing an object at line 1 column 1"},
    {"line of mixed array", "0.1\n[true, 1]", true, false, RefusingStep::Compiler, 2, false,
     "Array item 1 is Int32 but elem_type is Bool"},
};

void same_refusal(const Refusal& r, const vorn::CompileError& e) {
  CHECK(e.step == r.step);
  CHECK(e.line == r.line);
  CHECK(e.inexact == r.inexact);
  CHECK(e.error.message == r.message);
  if (e.error.message != r.message) std::fprintf(stderr, "  got: %s\n", e.error.message.c_str());
}

void exactness_refusals() {
  for (const Refusal& r : REFUSALS) {
    current_case = r.name;
    const vorn::CompileOptions options{r.exact};
    const std::string text(r.text);
    if (r.lines) {
      auto reference = vorn::reference_lines_image(text, options);
      auto fused = vorn::compile_lines_image(text, options);
      auto wide = vorn::compile_lines_image_wide(text, options);
      CHECK(!reference && !fused && !wide);
      if (reference && fused && wide) continue;
      for (const auto* e : {&reference.error(), &fused.error(), &wide.error()}) {
        same_refusal(r, *e);
      }
    } else {
      auto reference = vorn::reference_image(text, options);
      auto fused = vorn::compile_image_parts(text, options);
      auto wide = vorn::compile_image_parts_wide(text, options);
      CHECK(!reference && !fused && !wide);
      if (reference && fused && wide) continue;
      for (const auto* e : {&reference.error(), &fused.error(), &wide.error()}) {
        same_refusal(r, *e);
      }
    }
  }
}

// The tape reader fails with the JSON reader's error, and reads on after a failure.
void tape_reads() {
  current_case = "tape";
  const std::string text = "[1, {\"a\": }]\n[2]";
  vorn::Tape<uint32_t> tape;
  vorn::TapeBuilder<uint32_t> builder(tape, text.data(), text.size());
  const std::string_view first(text.data(), text.find('\n'));
  vorn::Status bad = builder.read(first);
  auto tree = vorn::read_json(first);
  CHECK(!bad && !tree && bad.error().message == tree.error().message);
  tape.clear_nodes();
  CHECK(builder.read(std::string_view(text).substr(first.size() + 1)));
}

}  // namespace

int main() {
  moves_never_copy();
  converting_errors();
  checked_reads();
  exactness_refusals();
  tape_reads();
  return check_verdict("errors_test");
}

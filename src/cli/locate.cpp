#include "cli/locate.h"

#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "compile/exact.h"
#include "compile/json_lines.h"
#include "compile/schema.h"
#include "compile/tape.h"
#include "encode/image_writer.h"
#include "format/format.h"

namespace vorn::cli {

namespace {

// A value of the text: its line (0 for a single text), that line's text, and its node on the
// tape of that text.
template <class Index>
struct Place {
  size_t line = 0;
  std::string_view text;
  Index node = 0;
};

// A refusal as the walk comes to it, and the value it is about when it is about one.
template <class Index>
struct Finding {
  RefusingStep step = RefusingStep::Compiler;
  FormatError error;
  std::optional<Place<Index>> place;
};

// Walks tapes as the fused compiler does (items in order, members in key order, a container's
// definition made after its contents) and gathers what the refusals after the walk are decided
// on: the definitions, made by the compiler's schema rules, with the value that made each; the
// first payload fault of each entry; the strings too long for the format; the first float beyond
// the float32 range. The refusal itself then comes from the encoder's plan_image and
// check_readable, in their order, with their messages.
template <class Index>
class RefusalWalk {
 public:
  explicit RefusalWalk(const Tape<Index>& tape) : tape_(tape) {}

  // Walks the value on the tape as the next entry. False at an array that the compiler refuses;
  // mismatch() then names it.
  bool entry(size_t line, std::string_view text) {
    line_ = line;
    text_ = text;
    fault_ = PayloadFault{};
    if (!value(0)) return false;
    entries_.push_back(EntrySize{0, fault_});
    return true;
  }

  Finding<Index> mismatch() { return std::move(mismatch_); }

  // The first refusal of the encoder, then of the reader, on what the walks gathered; nothing
  // when both accept it. The sizes of payloads are not gathered, so an image too large is not
  // found here.
  std::optional<Finding<Index>> verdict() const {
    const DefinitionBlock defs = measure_definitions(ctx_.definitions);
    size_t faulty = SIZE_MAX;
    Result<ImagePlan> plan = plan_image(defs, std::span<const std::string_view>(dict_),
                                        std::span<const EntrySize>(entries_), &faulty);
    if (!plan) {
      std::optional<Place<Index>> at;
      if (defs.count > MAX_ENCODED_DEFINITIONS) {
        at = creator(MAX_ENCODED_DEFINITIONS);
      } else if (defs.fault) {
        at = creator(defs.fault.id);
      } else if (faulty != SIZE_MAX) {
        at = payload_fault_;
      } else if (!dict_places_.empty()) {
        at = dict_places_.front();
      }
      return Finding<Index>{RefusingStep::Encoder, std::move(plan.error()), at};
    }
    if (Status readable = check_readable(defs, floats_); !readable) {
      std::optional<Place<Index>> at;
      if (defs.count > MAX_DEFINITIONS) {
        at = creator(MAX_DEFINITIONS);
      } else if (defs.wide_fields != 0) {
        at = creator(defs.wide_id);
      } else {
        at = float_place_;
      }
      return Finding<Index>{RefusingStep::Reader, readable.error(), at};
    }
    return std::nullopt;
  }

 private:
  static constexpr Index NONE = Tape<Index>::NONE;

  Place<Index> place(Index i) const { return Place<Index>{line_, text_, i}; }
  TapeKind kind(Index i) const noexcept { return tape_.nodes.kinds()[i]; }
  const TapeSlot<Index>& slot(Index i) const noexcept { return tape_.nodes.slots()[i]; }

  // The place of the value whose definition is at `position` of the table.
  std::optional<Place<Index>> creator(size_t position) const {
    if (position < 6 || position - 6 >= creators_.size()) return std::nullopt;
    return creators_[position - 6];
  }

  void note_fault(PayloadFault fault, Index i) {
    if (fault_) return;
    fault_ = fault;
    if (!payload_fault_) payload_fault_ = place(i);
  }

  // Notes the definition the walk just asked for when the table grew by it.
  void note_definition(size_t before, Index i) {
    if (ctx_.definitions.size() != before) creators_.push_back(place(i));
  }

  bool value(Index i) {
    switch (kind(i)) {
      case TapeKind::Float: {
        const bool found = floats_.found();
        floats_.narrow(std::bit_cast<double>(tape_.number(i)));
        if (!found && floats_.found()) float_place_ = place(i);
        return true;
      }
      case TapeKind::String:
      case TapeKind::OwnedString:
        string(i);
        return true;
      case TapeKind::Array:
        return array(i);
      case TapeKind::Object:
        return object(i);
      default:
        return true;
    }
  }

  // Only strings that no form holds matter: inline at their first occurrence (a payload fault),
  // a dict string from their second.
  void string(Index i) {
    const std::string_view s = tape_.string(i);
    if (string_size(s.size()) != NO_STRING_FORM) return;
    for (LongString& known : long_strings_) {
      if (known.text != s) continue;
      if (!known.in_dict) {
        known.in_dict = true;
        dict_.push_back(s);
        dict_places_.push_back(known.first);
      }
      return;
    }
    long_strings_.push_back(LongString{s, place(i), false});
    note_fault(PayloadFault{PayloadFault::Kind::StringTooLong, 0}, i);
  }

  // A node as check_array sees it: its kind, and a number's form and bits.
  JsonValue as_value(Index i) const noexcept {
    JsonValue v;
    switch (kind(i)) {
      case TapeKind::Null:
        break;
      case TapeKind::True:
      case TapeKind::False:
        v.kind = JsonKind::Bool;
        break;
      case TapeKind::Unsigned:
      case TapeKind::Negative:
      case TapeKind::Float:
        return tape_.number_value(i);
      case TapeKind::String:
      case TapeKind::OwnedString:
        v.kind = JsonKind::String;
        break;
      case TapeKind::Array:
        v.kind = JsonKind::Array;
        break;
      case TapeKind::Object:
        v.kind = JsonKind::Object;
        break;
    }
    return v;
  }

  // The compiler's rule for the items of the array at node i (check_array), asked of one item at
  // a time beside the array's first item that is not null, which fixes the element kind as the
  // whole array does: a long array then needs no JsonValue per item. The array's kind is that of
  // an item that makes its integers floats, else that of the first item.
  Result<ArrayKind> array_kind(Index i) const {
    const Index n = slot(i).a;
    JsonValue pair[2];
    bool any = false;
    for (Index k = 0, j = i + 1; k < n; ++k, j = tape_.next(j)) {
      if (kind(j) != TapeKind::Null) {
        pair[0] = as_value(j);
        any = true;
        break;
      }
    }
    if (!any) return check_array(std::span<const JsonValue>());
    Result<ArrayKind> whole = check_array(std::span<const JsonValue>(pair, 1));
    for (Index k = 0, j = i + 1; k < n; ++k, j = tape_.next(j)) {
      pair[1] = as_value(j);
      Result<ArrayKind> r = check_array(pair);
      if (!r) return array_item_mismatch(k, tag_of(pair[1]), tag_of(pair[0]));
      if (r->promoted) whole = std::move(r);
    }
    return whole;
  }

  bool array(Index i) {
    const Index n = slot(i).a;
    if (n > MAX_ARRAY_ITEMS) {
      note_fault(PayloadFault{PayloadFault::Kind::TooManyItems, static_cast<size_t>(n)}, i);
    }
    for (Index k = 0, j = i + 1; k < n; ++k, j = tape_.next(j)) {
      if (!value(j)) return false;
    }
    Result<ArrayKind> elem = array_kind(i);
    if (!elem) {
      mismatch_ = Finding<Index>{RefusingStep::Compiler, std::move(elem.error()), place(i)};
      return false;
    }
    const size_t before = ctx_.definitions.size();
    intern_array_def(ctx_, elem->elem);
    note_definition(before, i);
    return true;
  }

  bool object(Index i) {
    const Shape<Index>& shape = tape_.shapes[slot(i).a];
    const ShapeMember* members = tape_.shape_members.data() + shape.members;
    const Index* perm = shape.perm == NONE ? nullptr : tape_.perms.data() + shape.perm;
    // The members' nodes in text order, then visited in key order; duplicate keys leave the
    // ones the compiler drops out of the order.
    const size_t base = positions_.size();
    for (Index m = 0, k = i + 1; m < shape.count; ++m, k = tape_.next(k)) positions_.push_back(k);
    for (Index m = 0; m < shape.unique; ++m) {
      if (!value(positions_[base + (perm == nullptr ? m : perm[m])])) return false;
    }
    positions_.resize(base);
    ctx_.signature.clear();
    for (Index m = 0; m < shape.unique; ++m) {
      const ShapeMember& member = members[perm == nullptr ? m : perm[m]];
      append_signature_member(ctx_.signature, member.key, member.kind);
    }
    const ViewHash hash = ctx_.objects.hash(ctx_.signature);
    if (find_object_def(ctx_, hash) != CompileContext::NO_DEFINITION) return true;
    std::vector<FieldDef> fields;
    fields.reserve(shape.unique);
    for (Index m = 0; m < shape.unique; ++m) {
      const ShapeMember& member = members[perm == nullptr ? m : perm[m]];
      fields.push_back(FieldDef{std::string(member.key), member.kind});
    }
    const size_t before = ctx_.definitions.size();
    add_object_def(ctx_, hash, std::move(fields));
    note_definition(before, i);
    return true;
  }

  struct LongString {
    std::string_view text;
    Place<Index> first;
    bool in_dict;
  };

  const Tape<Index>& tape_;
  size_t line_ = 0;
  std::string_view text_;
  CompileContext ctx_;
  std::vector<Place<Index>> creators_;  // per created definition, in table order
  std::vector<Index> positions_;        // members of the objects being walked, innermost last
  std::vector<EntrySize> entries_;
  PayloadFault fault_;  // the first of the entry being walked
  std::optional<Place<Index>> payload_fault_;
  std::vector<LongString> long_strings_;
  std::vector<std::string_view> dict_;  // the strings too long, in dict order
  std::vector<Place<Index>> dict_places_;
  FirstNonFinite floats_;
  std::optional<Place<Index>> float_place_;
  Finding<Index> mismatch_;
};

template <class Index>
std::optional<Location> locate(std::string_view text, bool lines, const CompileError& refusal) {
  if (lines && count_json_lines(text) > MAX_DATA_ENTRIES) return std::nullopt;
  Tape<Index> tape;
  TapeBuilder<Index> builder(tape, text.data(), text.size());
  RefusalWalk<Index> walk(tape);
  std::string_view read;  // the text on the tape
  std::optional<Finding<Index>> found;
  if (!lines) {
    if (!builder.read(text)) return std::nullopt;
    read = text;
    found = walk.entry(0, text) ? walk.verdict() : walk.mismatch();
  } else {
    JsonLines split(text);
    JsonLine line;
    bool refused = false;
    while (!refused && split.next(&line)) {
      tape.clear_nodes();
      if (!builder.read(line.text)) return std::nullopt;
      read = line.text;
      refused = !walk.entry(line.number, line.text);
    }
    found = refused ? walk.mismatch() : walk.verdict();
  }
  if (!found || !found->place || found->step != refusal.step ||
      found->error.message != refusal.error.message) {
    return std::nullopt;
  }
  const Place<Index>& at = *found->place;
  if (refusal.line != 0 && refusal.line != at.line) return std::nullopt;
  if (at.text.data() != read.data() || at.text.size() != read.size()) {
    tape.clear_nodes();
    if (!builder.read(at.text)) return std::nullopt;
  }
  return Location{at.line, tape_path(tape, at.node)};
}

}  // namespace

std::optional<Location> locate_refusal(std::string_view text, bool lines,
                                       const CompileError& refusal) {
  // Both name their place in their message: the reader its line and column, the exactness
  // check the value's path.
  if (refusal.step == RefusingStep::JsonReader || refusal.inexact) return std::nullopt;
  // Positions of 32 bits reach every byte of a text below 4 GiB, as in the compiler.
  if (text.size() < UINT32_MAX) return locate<uint32_t>(text, lines, refusal);
  return locate<uint64_t>(text, lines, refusal);
}

}  // namespace vorn::cli

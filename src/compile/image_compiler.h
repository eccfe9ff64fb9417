// The walk of the fused compiler: tapes (tape.h) to the entries of an image, written straight
// into one payload buffer, with the definitions and the dict made as the reference chain makes
// them (compile.h). compile_image.cpp drives it. Free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "compile/compile_error.h"
#include "compile/compile_image.h"
#include "compile/tape.h"
#include "compile/view_map.h"
#include "encode/definition_layout.h"
#include "encode/image_writer.h"
#include "format/byte_arena.h"
#include "format/byte_buffer.h"
#include "format/codec.h"
#include "format/format.h"
#include "format/object_signature.h"
#include "format/small_vector.h"

namespace vorn {

// The payload as the walk writes it: a ByteBuffer used as storage, its size the capacity, with
// the bytes written so far counted here, so that the test for room and the write are inlined
// into the walk's loops and only growing is a call.
class PayloadBuffer {
 public:
  // Room for `n` bytes to start with, from `storage` if given; pages not written cost no memory.
  PayloadBuffer(size_t n, BufferProvider* storage)
      : buf_(storage != nullptr ? ByteBuffer(*storage) : ByteBuffer()) {
    buf_.resize(n);
  }

  size_t size() const noexcept { return used_; }
  uint8_t* data() noexcept { return buf_.data(); }

  // Makes room for n more bytes and returns where they go; the caller writes all n of them.
  [[gnu::always_inline]] uint8_t* extend(size_t n) {
    if (buf_.size() - used_ < n) [[unlikely]] {
      grow(n);
    }
    uint8_t* p = buf_.data() + used_;
    used_ += n;
    return p;
  }
  [[gnu::always_inline]] void put_u8(uint8_t v) { *extend(1) = v; }
  [[gnu::always_inline]] void put_u32(uint32_t v) { vorn::put_u32(extend(4), v); }
  void patch_u16(size_t at, uint16_t v) noexcept { vorn::put_u16(buf_.data() + at, v); }
  // The bytes written, moved up behind `head` bytes left for the caller to write, as a buffer
  // of their size.
  ByteBuffer take_behind(size_t head) {
    if (head != 0) {
      if (buf_.size() - used_ < head) buf_.resize(used_ + head);
      if (used_ != 0) std::memmove(buf_.data() + head, buf_.data(), used_);
    }
    buf_.resize(used_ + head);
    used_ = 0;
    return std::move(buf_);
  }

 private:
  [[gnu::noinline]] void grow(size_t n) {
    const size_t doubled = buf_.size() < 32 ? 64 : buf_.size() * 2;
    buf_.resize(used_ + n > doubled ? used_ + n : doubled);
  }

  ByteBuffer buf_;
  size_t used_ = 0;
};

// Walks tapes in the order of compile_value and writes each as one entry straight into one
// payload buffer, making definitions and the dict as the reference does. Definitions are laid
// out in the image's form as they are made, after the predefined ones; every table starts
// inside the compiler and reaches the heap only when the text is large enough to need it. The
// compiler's own refusal (a mixed array) ends a walk at once; the encoder's faults within a payload
// are noted, the first in payload order, and the walk goes on, since a mixed array later in the
// walk comes first; finish() then makes the encoder's, the reader's and the exactness refusals in
// their order. `Exact` notes the first number, in payload order, that would not read back the same.
template <class Index, bool Exact>
class ImageCompiler {
 public:
  using TapeT = Tape<Index>;

  ImageCompiler(const TapeT& tape, size_t expected_strings, size_t payload_estimate,
                BufferProvider* storage);

  // Compiles the value on the tape as the next entry; `line` is its line in a JSON Lines text
  // (0 for a single text). False when the compiler refuses it: error() then says why.
  bool walk(size_t line);
  CompileError& error() noexcept { return error_; }
  // Frees what only the walks need.
  void end_walks() noexcept { strings_.release(); }
  // The image of the walked entries, or the first refusal of the encoder, the reader, then the
  // exactness check. The image is made in place in the payload's storage.
  Result<ImageParts, CompileError> finish();

 private:
  // Marks a failed walk, and no node; never a node index, since a tape has fewer nodes than
  // its text has bytes.
  static constexpr Index FAILED = TapeT::NONE;
  static constexpr Index NONE = TapeT::NONE;
  static constexpr int32_t NO_DEFINITION = -1;
  static constexpr uint32_t SEEN_ONCE = 0xFFFFFFFF;

  // Scalars and strings in place; containers through array() and object(), which alone recurse,
  // so that this stays inlined into their loops.
  [[gnu::always_inline]] inline Index value(Index i, uint16_t* elem_def);
  [[gnu::noinline]] Index array(Index i, uint16_t* elem_def);
  [[gnu::noinline]] Index object(Index i, uint16_t* self_def);
  uint16_t object_def(const Shape<Index>& shape);
  uint16_t array_def(TypeTag elem) {
    const int32_t id = array_defs_[static_cast<uint8_t>(elem)];
    return id != NO_DEFINITION ? static_cast<uint16_t>(id) : add_array_def(elem);
  }
  [[gnu::noinline]] uint16_t add_array_def(TypeTag elem);
  [[gnu::flatten]] inline void string(Index i);
  ViewHash prefetched_hash(Index i);
  [[gnu::noinline]] Index refuse_array(Index i);
  [[gnu::noinline]] void promote(Index i, size_t at, bool had_inexact);
  void note_fault(PayloadFault fault) noexcept {
    if (!fault_) fault_ = fault;
  }
  void note_inexact(Index i) noexcept {
    if (inexact_ == NONE) inexact_ = i;
  }
  [[gnu::noinline]] void note_inexact_items(Index i);

  const TapeT& tape_;
  const TapeKind* k_ = nullptr;
  const TapeSlot<Index>* s_ = nullptr;
  SmallVector<int32_t, 16> shape_defs_;  // per shape, its object definition once known
  // The text-order member positions of the reordered objects being walked, innermost last.
  SmallVector<Index, 32> positions_;
  // Every string value met so far: SEEN_ONCE, or its position in dict_strings_.
  ViewMap<uint32_t> strings_;
  // The future dict: string values met at least twice, ordered by their second occurrence.
  SmallVector<std::string_view, 16> dict_strings_;
  // The definition table: the created definitions laid out as the image holds them, after the
  // predefined ones; its count, and the first faults that the encoder and the decoder would
  // find in it (see DefinitionBlock).
  DefinitionLayout<SmallVector<uint8_t, 256>> defs_;
  // Element TypeTag (0 to 17) to the id of its array definition, or NO_DEFINITION.
  int32_t array_defs_[18];
  // Object lookup key (see object_def) to definition id, the keys' bytes in key_bytes_: the first
  // LINEAR_OBJECTS in a list that is searched in turn, then all of them in the map as well.
  struct KnownObject {
    std::string_view key;
    uint16_t id;
  };
  static constexpr size_t LINEAR_OBJECTS = 8;
  SmallVector<KnownObject, LINEAR_OBJECTS> few_objects_;
  ViewMap<uint16_t> objects_;
  ByteArena<256> key_bytes_;
  SmallVector<char, 128> signature_;  // scratch for building a lookup key, reused
  PayloadBuffer payload_;
  // Strings hashed ahead of the walk, once the string table outgrows the cache (see string()).
  static constexpr size_t PREFETCH_TABLE_BYTES = size_t{1} << 20;
  static constexpr size_t PREFETCH_DISTANCE = 12;
  static constexpr size_t AHEAD_RING = 16;
  struct Ahead {
    Index node;
    ViewHash hash;  // stale once the string table takes a new key; the map checks
  };
  Ahead ahead_[AHEAD_RING];  // by node number modulo AHEAD_RING; valid once ahead_ready_
  Index next_ahead_ = 0;     // the first node not yet looked at for hashing ahead
  bool ahead_ready_ = false;
  FirstNonFinite floats_;
  // The entries' sizes: the first one inline, so that a single text allocates nothing for it.
  EntrySize first_entry_;
  std::vector<EntrySize> more_entries_;
  size_t entry_count_ = 0;
  PayloadFault fault_;     // the first of the entry being walked
  size_t fault_line_ = 0;  // the line of the first entry with a fault
  bool faulted_ = false;   // whether an entry had a fault
  Index inexact_ = NONE;   // the first changed number of the entry being walked
  bool inexact_mixed_ = false;
  std::optional<CompileError> inexact_error_;  // of the first entry with a changed number
  CompileError error_;
};

extern template class ImageCompiler<uint32_t, false>;
extern template class ImageCompiler<uint32_t, true>;
extern template class ImageCompiler<uint64_t, false>;
extern template class ImageCompiler<uint64_t, true>;

}  // namespace vorn

#include "emit/emit_image.h"

#include <cstring>
#include <span>
#include <string_view>

namespace vorn {

Result<ImagePlan> plan_emit_image(const EmitBuilder& b) {
  if (b.mismatch()) return *b.mismatch();
  const DefinitionBlock defs = b.definitions();
  const EntrySize entry{b.payload().size(), b.payload_fault()};
  Result<ImagePlan> plan = plan_image(defs, b.strings(), std::span<const EntrySize>(&entry, 1));
  if (!plan) return plan.error();
  if (Status readable = check_readable(defs, b.non_finite()); !readable) return readable.error();
  return plan;
}

uint8_t* write_emit_prefix(const EmitBuilder& b, const ImagePlan& plan, uint8_t* out) noexcept {
  uint8_t* p = write_image_prefix(out, plan, b.definitions(), b.strings(), 1);
  // The one entry's payload fills the image after its header.
  const size_t payload_size = plan.size - static_cast<size_t>(p - out) - ENTRY_HEADER_SIZE;
  return put_entry_header(p, b.root_definition(), payload_size);
}

Result<size_t> finish_image(EmitBuilder& b) {
  Result<ImagePlan> plan = plan_emit_image(b);
  if (!plan) return plan.error();
  ByteBuffer& out = b.payload();
  const size_t payload_size = out.size();
  out.resize(plan->size);
  std::memmove(out.data() + (plan->size - payload_size), out.data(), payload_size);
  write_emit_prefix(b, *plan, out.data());
  return plan->size;
}

}  // namespace vorn

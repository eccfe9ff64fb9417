#include "emit/emit_image.h"

#include <cstring>
#include <span>
#include <string_view>

#include "encode/image_writer.h"

namespace vorn {

Result<size_t> finish_image(EmitBuilder& b) {
  if (b.mismatch()) return *b.mismatch();
  const DefinitionBlock defs = b.definitions();
  const std::span<const std::string_view> strings(b.strings());
  ByteBuffer& out = b.payload();
  const size_t payload_size = out.size();
  const EntrySize entry{payload_size, b.payload_fault()};
  Result<ImagePlan> plan = plan_image(defs, strings, std::span<const EntrySize>(&entry, 1));
  if (!plan) return plan.error();
  if (Status readable = check_readable(defs, b.non_finite()); !readable) return readable.error();

  const size_t prefix_size = plan->size - payload_size;
  out.resize(plan->size);
  std::memmove(out.data() + prefix_size, out.data(), payload_size);
  uint8_t* p = write_image_prefix(out.data(), *plan, defs, strings, 1);
  put_entry_header(p, b.root_definition(), payload_size);
  return plan->size;
}

}  // namespace vorn

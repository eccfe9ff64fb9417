// The bodies of dumps and dump.

// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <string_view>

#include "compile/compile_image.h"
#include "io/file_io.h"
#include "module/boundary.h"
#include "module/bytes_storage.h"
#include "module/functions.h"

namespace vorn {

// The fused compiler gives the bytes of reference_image(text), or its refusal, which includes
// every image loads would refuse. Its payload grows inside the bytes object that becomes the
// result (a small one in the storage's inline buffer, copied once into a bytes object of the
// image's exact size), and the compiler writes the rest of the image ahead of it there.
PyObject* dumps_impl(std::string_view json_text) {
  BytesStorage storage;
  Result<ImageParts, CompileError> parts = compile_image_parts(json_text, {}, &storage);
  if (!parts) return raise_format_error(parts.error().error);
  const ByteBuffer image = join_image(std::move(*parts));
  PyObject* bytes = storage.finish(image.size());
  if (bytes == nullptr) panic_after_failed_call("failed to create the image bytes");
  return bytes;
}

PyObject* dump_impl(std::string_view json_text, std::string_view path) {
  Result<ByteBuffer> image = compile_image(json_text);
  if (!image) return raise_format_error(image.error());
  // The file is touched only now that the whole image exists.
  PythonIoHooks hooks;
  Result<OutputFile, IoError> opened = OutputFile::open(path, hooks);
  if (!opened) return raise_io_error(opened.error());
  OutputFile& file = *opened;
  // Whatever name leads there (/dev/tty, /dev/stdout), an image does not go to a terminal.
  if (file.is_terminal()) {
    return raise_io_error(IoError::fixed("refusing to write a binary image to a terminal"));
  }
  if (auto written = file.write(image->view()); !written) return raise_io_error(written.error());
  if (auto committed = file.commit(); !committed) return raise_io_error(committed.error());
  Py_RETURN_NONE;
}

}  // namespace vorn

// The bodies of dumps and dump.

// The interpreter's header comes before every other one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Then the standard and the project headers.
#include <string_view>
#include <variant>

#include "compile/compile_image.h"
#include "io/file_io.h"
#include "module/boundary.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace vorn {

// The fused compiler gives the bytes of compile_reference_image(text), or its refusal, which
// includes every image loads would refuse; its two parts are copied straight into the new bytes
// object.
PyObject* dumps_impl(std::string_view json_text) {
  Result<ImageParts> image = compile_image_parts(json_text);
  if (!image) return raise_format_error(image.error());
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(image->size()));
  if (bytes == nullptr) panic_after_failed_call("PyBytes_FromStringAndSize failed");
  image->copy_to(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)));
  return bytes;
}

PyObject* dump_impl(std::string_view json_text, std::string_view path) {
  Result<ByteBuffer> image = compile_image(json_text);
  if (!image) return raise_format_error(image.error());
  // The file is touched only now that the whole image exists.
  PythonIoHooks hooks;
  auto written = write_image_file(path, image->view(), hooks);
  if (auto* err = std::get_if<IoError>(&written)) return raise_io_error(*err);
  Py_RETURN_NONE;
}

}  // namespace vorn

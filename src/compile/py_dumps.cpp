// The bodies of dumps and dump.
#include <string_view>
#include <variant>

#include "compile/compile.h"
#include "encode/encode.h"
#include "module/boundary.h"
#include "module/file_io.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace vorn {

PyObject* dumps_impl(std::string_view json_text) {
  Result<Document> doc = compile_json(json_text);
  if (!doc) return raise_format_error(doc.error());
  Result<ByteBuffer> image = encode_document(*doc);
  if (!image) return raise_format_error(image.error());
  PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(image->data()),
                                              static_cast<Py_ssize_t>(image->size()));
  if (bytes == nullptr) panic_after_failed_call("PyBytes_FromStringAndSize failed");
  return bytes;
}

PyObject* dump_impl(std::string_view json_text, std::string_view path) {
  Result<Document> doc = compile_json(json_text);
  if (!doc) return raise_format_error(doc.error());
  Result<ByteBuffer> image = encode_document(*doc);
  if (!image) return raise_format_error(image.error());
  // The file is touched only now that the whole image exists.
  auto written = write_image_file(path, image->view());
  if (auto* err = std::get_if<IoError>(&written)) return raise_io_error(*err);
  Py_RETURN_NONE;
}

}  // namespace vorn

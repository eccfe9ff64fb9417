#include "module/functions.h"

namespace vorn {

PyObject* loads_impl(std::span<const uint8_t>) {
  PyErr_SetString(PyExc_NotImplementedError, "loads");
  return nullptr;
}

PyObject* load_impl(std::string_view) {
  PyErr_SetString(PyExc_NotImplementedError, "load");
  return nullptr;
}

}  // namespace vorn

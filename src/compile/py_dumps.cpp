#include "module/functions.h"

namespace vorn {

PyObject* dumps_impl(std::string_view) {
  PyErr_SetString(PyExc_NotImplementedError, "dumps");
  return nullptr;
}

PyObject* dump_impl(std::string_view, std::string_view) {
  PyErr_SetString(PyExc_NotImplementedError, "dump");
  return nullptr;
}

}  // namespace vorn

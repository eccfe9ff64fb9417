#include "module/functions.h"

namespace vorn {

PyObject* emit_impl(PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "emit");
  return nullptr;
}

}  // namespace vorn

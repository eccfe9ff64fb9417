// The bodies of the five module functions, each in the folder of the stage that completes it.
// The module binds and converts the arguments, then calls a body inside run_guarded. A body
// returns a new reference, or nullptr with a Python exception set; it may throw Panic or
// std::bad_alloc, which the boundary turns into exceptions.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "module/py_ref.h"

namespace vorn {

// `json_text` and `path` are the UTF-8 forms that the interpreter caches for the str arguments;
// they stay valid for the whole call.
PyObject* dumps_impl(std::string_view json_text);
PyObject* dump_impl(std::string_view json_text, std::string_view path);
// `image` is the storage of the bytes argument, read in place.
PyObject* loads_impl(std::span<const uint8_t> image);
PyObject* load_impl(std::string_view path);
PyObject* emit_impl(PyObject* obj);

}  // namespace vorn

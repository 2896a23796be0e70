// User-code classification, shared with the profile hook so that it can call the module's own
// _is_user_code directly while that is what the monitor's attribute resolves to.
#pragma once

#include "interop/python.h"

namespace overflow {

// `self._is_user_code(filename)` as the module defines it: the cached verdict.
py::object is_user_code(PyObject* self, PyObject* filename);

}  // namespace overflow

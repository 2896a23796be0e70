#pragma once

#include "interop/python.h"

namespace overflow {

// Builds _WrapRecord: a plain class with __slots__ ("original", "name", "namespace", "wrapper").
py::object make_wrap_record_class(PyObject* module_name);

}  // namespace overflow

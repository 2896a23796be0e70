#pragma once

#include "interop/python.h"

namespace overflow {

// Builds the class _OverflowMonitor as `type(name, (object,), namespace)` would.
py::object make_monitor_class(PyObject* module_name);

}  // namespace overflow

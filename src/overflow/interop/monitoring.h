// sys.monitoring as one tool uses it (CPython 3.12 on): claim an identifier, have callables called
// for a set of events, give it all back. Reached through the `sys` module global, as Python code
// of the module would.
#pragma once

#include <span>

#include "interop/python.h"

#if OVERFLOW_SYS_MONITORING

namespace overflow::interop::monitoring {

struct Callback {
    const char* event;  // a name in sys.monitoring.events, e.g. "PY_START"
    PyObject* function;
};

// Claims `tool_id` under `name` and registers each callback for its event. False when another
// tool holds the identifier; `holder` then has its name.
bool claim(int tool_id, const char* name, std::span<const Callback> callbacks,
           py::object& holder);

// The tool's events off, its identifier kept: after a callback failed. Keeps the error pending.
void silence(int tool_id);

// Events off, callbacks unregistered, the identifier free again.
void release(int tool_id, std::span<const Callback> callbacks);

// Every event that a callback of any tool disabled is delivered again.
void restart_events();

// sys.monitoring.DISABLE, borrowed: valid once a tool was claimed.
PyObject* disable();

}  // namespace overflow::interop::monitoring

#endif

// The module's one way to log: `logger.<level>(format, *args)` on the module global `logger`,
// looked up at the moment of use, with a %-style format and its arguments passed separately.
#pragma once

#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/module_state.h"

namespace overflow::interop {

inline PyObject* argument_pointer(PyObject* value) { return value; }
inline PyObject* argument_pointer(const py::handle& value) { return value.ptr(); }

// Safe on a thread that the interpreter may end at exit (the sampling and pre-warm threads,
// callers of wrappers): the logging call may be where it happens.
template <typename... Args>
void log(PyObject* level, const char* format, const Args&... args) {
    py::object logger = global(names.logger);
    py::str message(format);
    unless_interpreter_ends_thread([&] {
        return call_method(logger.ptr(), level, message.ptr(), argument_pointer(args)...);
    });
}

}  // namespace overflow::interop

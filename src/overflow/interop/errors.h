// The boundary between C++ and CPython: errors travel as C++ exceptions inside the module and
// become the pending Python exception again where a native call returns to the interpreter.
#pragma once

#include "interop/python.h"

namespace overflow::interop {

// Call from inside a catch block: sets the Python error matching the exception being handled.
void restore_python_error() noexcept;

// Call from inside a catch block: the exception being handled as a Python error, for code that
// inspects it (matches, value) and then rethrows it or drops it. An error_already_set can be
// restored only once, so rethrow the returned object, not the original.
py::error_already_set current_python_error();

// Raised when the exception being handled (sys.exc_info()) must be visible while running code:
// Python code raising inside gets it as __context__, exactly as in an `except` block.
class HandledExceptionScope {
public:
    explicit HandledExceptionScope(PyObject* exception);
    ~HandledExceptionScope();
    HandledExceptionScope(const HandledExceptionScope&) = delete;
    HandledExceptionScope& operator=(const HandledExceptionScope&) = delete;

private:
    PyObject* previous_;
};

}  // namespace overflow::interop

// The boundary between C++ and CPython: errors travel as C++ exceptions inside the module and
// become the pending Python exception again where a native call returns to the interpreter.
#pragma once

#include "interop/python.h"

namespace overflow::interop {

// Call from inside a catch block: sets the Python error matching the exception being handled.
// The one exception it lets through is the forced unwinding of a thread that the interpreter
// ends at shutdown (a daemon thread waking up after finalisation): that unwinding must go on.
void restore_python_error();

// What `except ... as exc` binds: the caught exception, given the traceback it was raised with, as
// the interpreter does when it enters an except clause.
PyObject* caught_exception(const py::error_already_set& error);

// Call from inside a catch block: the exception being handled as a Python error, for code that
// inspects it (matches, value) and then rethrows it or drops it. An error_already_set can be
// restored only once, so rethrow the returned object, not the original.
py::error_already_set current_python_error();

// Runs `body`, discarding a failure derived from Exception (a C++ error counts as the Python
// exception it becomes); anything else (KeyboardInterrupt, SystemExit) keeps going.
template <typename Body>
void swallow_ordinary_exceptions(Body&& body) {
    try {
        body();
    } catch (...) {
        py::error_already_set error = current_python_error();
        if (!error.matches(PyExc_Exception)) throw error;
    }
}


// Makes an exception the one being handled (sys.exc_info()) while the scope lasts: an exception
// raised inside gets it as __context__, exactly as in an `except` block.
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

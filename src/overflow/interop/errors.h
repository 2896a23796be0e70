// The boundary between C++ and CPython: errors travel as C++ exceptions inside the module and
// become the pending Python exception again where a native call returns to the interpreter.
#pragma once

#include <cxxabi.h>
#include <unistd.h>

#include <utility>

#include "interop/python.h"

namespace overflow::interop {

// A forced unwinding carries no exception object, so the ABI's idiom for catching it binds the
// handler's reference to null; the undefined-behaviour sanitizer would report each one (GCC only
// drops that check along with the others of the function).
#define OVERFLOW_CATCHES_FORCED_UNWIND [[gnu::no_sanitize("undefined")]]

// Runs `call`, a call into Python made while this module's frames hold Python references or
// exception state, on a thread that may still run at interpreter exit (the sampling and pre-warm
// threads, callers of wrappers). A daemon thread that wakes up while the interpreter finalises is
// ended from inside the interpreter by a forced unwinding; unwinding through these frames would
// release that state without the interpreter and crash the process on its way out. Such a thread
// stays where it is instead until the process is gone, as later Pythons treat these threads.
// Not inside a catch handler: the C++ runtime cannot catch the unwinding while it handles another
// exception, so such code ends its handler first and deals with the failure after it.
template <typename Call>
OVERFLOW_CATCHES_FORCED_UNWIND decltype(auto) unless_interpreter_ends_thread(Call&& call) {
    try {
        return std::forward<Call>(call)();
    } catch (abi::__forced_unwind&) {
        if (!interpreter_finalizing()) throw;
        // Waits right here: a call that never returns would have the address sanitizer clean up
        // the stack first, over frames the unwinding left without their cleanup.
        for (;;) pause();
    }
}

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

// `try: body() except Exception as exc: handler(exc)`, with what the one that ran returns.
// Anything else (KeyboardInterrupt, SystemExit) keeps going. The handler runs once the C++ catch
// block has ended, where the interpreter may end a daemon thread (see
// unless_interpreter_ends_thread), with the failure as the exception being handled: whatever the
// handler raises chains to it.
template <typename Body, typename Handler>
auto on_exception(Body&& body, Handler&& handler) -> decltype(body()) {
    py::object failure;
    try {
        return body();
    } catch (...) {
        py::error_already_set error = current_python_error();
        if (!error.matches(PyExc_Exception)) throw error;
        failure = borrow(caught_exception(error));
    }
    HandledExceptionScope handling(failure.ptr());
    return handler(failure.ptr());
}

}  // namespace overflow::interop

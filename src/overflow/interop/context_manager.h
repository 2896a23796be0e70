// The `with` statement: __exit__ runs on every way out of the body and sees the exception that
// left it, as the handled one, so that an exception raised by __exit__ chains to it.
#pragma once

#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/module_state.h"

namespace overflow::interop {

// Runs `body(value)` where value is what __enter__ returned.
template <typename Body>
void with_context(PyObject* manager, Body&& body) {
    py::object enter = get_attr(manager, names.dunder_enter);
    py::object exit = get_attr(manager, names.dunder_exit);
    py::object value = steal_or_throw(PyObject_CallNoArgs(enter.ptr()));
    try {
        body(value);
    } catch (...) {
        py::error_already_set error = current_python_error();
        py::object traceback = error.trace() ? error.trace() : py::none();
        bool suppressed;
        {
            HandledExceptionScope handling(error.value().ptr());
            suppressed = truth(exit(error.type(), error.value(), traceback).ptr());
        }
        if (!suppressed) throw error;
        return;
    }
    exit(py::none(), py::none(), py::none());
}

}  // namespace overflow::interop

#include "interop/errors.h"

#include <new>

namespace overflow::interop {

OVERFLOW_CATCHES_FORCED_UNWIND void restore_python_error() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (const py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in zuvoda.overflow");
    }
}

PyObject* caught_exception(const py::error_already_set& error) {
    PyObject* exception = error.value().ptr();
    if (error.trace()) require(PyException_SetTraceback(exception, error.trace().ptr()));
    return exception;
}

OVERFLOW_CATCHES_FORCED_UNWIND py::error_already_set current_python_error() {
    try {
        throw;
    } catch (py::error_already_set& error) {
        return error;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        restore_python_error();
        return py::error_already_set();
    }
}

HandledExceptionScope::HandledExceptionScope(PyObject* exception)
    : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exception);
}

HandledExceptionScope::~HandledExceptionScope() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

}  // namespace overflow::interop

// Common include for the module: CPython's API and pybind11's object handles (used as a header
// library only; functions are defined through the native function type, not pybind11).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include "interop/python_version.h"

namespace py = pybind11;

namespace overflow {

// Wraps a new reference returned by the C API, turning a null result into a C++ exception that
// carries the Python error.
inline py::object steal_or_throw(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// Checks the status of a C API call that returns -1 with the error set; returns the status.
inline int require(int status) {
    if (status < 0) throw py::error_already_set();
    return status;
}

inline py::object borrow(PyObject* value) { return py::reinterpret_borrow<py::object>(value); }

inline bool interpreter_finalizing() {
#if OVERFLOW_PUBLIC_IS_FINALIZING
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// A reference this code does not own, valid while whatever holds it (named where one is made)
// keeps it. It converts to PyObject* for the C API; `owned()` takes a reference of its own.
class Borrowed {
public:
    Borrowed() = default;
    // Implicit both ways: the C API hands out and takes borrowed references as PyObject*.
    Borrowed(PyObject* object) : object_(object) {}
    operator PyObject*() const { return object_; }

    PyObject* ptr() const { return object_; }
    py::object owned() const { return borrow(object_); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace overflow

// Common include for the module: CPython's API and pybind11's object handles (used as a header
// library only; functions are defined through the native function type, not pybind11).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace overflow {

// Wraps a new reference returned by the C API, turning a null result into a C++ exception that
// carries the Python error.
inline py::object steal_or_throw(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

inline py::object borrow(PyObject* value) { return py::reinterpret_borrow<py::object>(value); }

}  // namespace overflow

// Calls into Python from threads that the interpreter may end at shutdown.
//
// When a daemon thread wants the interpreter lock back after finalisation has begun, CPython 3.11
// ends it with pthread_exit, which unwinds the thread's stack and runs the C++ cleanups of our
// frames: reference drops on objects of an interpreter that is being torn down, which crashes.
// A call made through this function parks its thread instead, before any of our frames unwinds;
// the process is exiting, and a parked thread ends with it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

PyObject* overflow_call_parking_at_exit(PyObject* callable, PyObject* const* args, size_t nargsf,
                                        PyObject* kwnames);

#ifdef __cplusplus
}

#include <pybind11/pybind11.h>

namespace overflow::interop {

// `callable(*args, **{kwnames: the values after args})` through the guard above.
template <size_t N>
pybind11::object call_parking_at_exit(PyObject* callable, PyObject* const (&args)[N],
                                      size_t positional = N, PyObject* kwnames = nullptr) {
    PyObject* result = overflow_call_parking_at_exit(callable, args, positional, kwnames);
    if (result == nullptr) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(result);
}

}  // namespace overflow::interop
#endif

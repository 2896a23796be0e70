// Small lookups shared by the detection methods, with the semantics of the Python expressions
// they stand for.
#pragma once

#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/module_state.h"

namespace overflow::detection {

// `mapping.get(key)`; an exact dict is read directly.
inline py::object mapping_get(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = PyDict_GetItemWithError(mapping, key);
        if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return borrow(value != nullptr ? value : Py_None);
    }
    return interop::call_method(mapping, interop::names.get, key);
}

// `getattr(obj, "_overflow_wrapped", False)` taken as a truth value: a wrapper is never wrapped.
inline bool carries_wrapper_marker(PyObject* obj) {
    py::object marker = interop::get_optional_attr(obj, interop::names.overflow_wrapped);
    return marker && interop::truth(marker.ptr());
}

}  // namespace overflow::detection

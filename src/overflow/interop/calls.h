// Late-bound calls: methods through attribute lookup on `self`, module globals at the moment of
// use. PyObject_VectorcallMethod finds a method on the type without allocating a bound method.
#pragma once

#include <array>

#include "interop/python.h"

namespace overflow::interop {

template <typename... Args>
py::object call_method(PyObject* self, PyObject* name, Args... args) {
    std::array<PyObject*, sizeof...(Args) + 1> stack{self, static_cast<PyObject*>(args)...};
    return steal_or_throw(PyObject_VectorcallMethod(
        name, stack.data(), stack.size(), nullptr));
}

inline py::object get_attr(PyObject* object, PyObject* name) {
    return steal_or_throw(PyObject_GetAttr(object, name));
}

inline void set_attr(PyObject* object, PyObject* name, PyObject* value) {
    require(PyObject_SetAttr(object, name, value));
}

inline void set_attr(PyObject* object, PyObject* name, const py::handle& value) {
    set_attr(object, name, value.ptr());
}

// Reads an attribute that may be missing: a missing attribute gives an empty object.
inline py::object get_optional_attr(PyObject* object, PyObject* name) {
    PyObject* value = nullptr;
#if OVERFLOW_GET_OPTIONAL_ATTR
    require(PyObject_GetOptionalAttr(object, name, &value));
#else
    require(_PyObject_LookupAttr(object, name, &value));
#endif
    return py::reinterpret_steal<py::object>(value);
}

}  // namespace overflow::interop

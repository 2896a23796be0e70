// Conversions and checks applied to arguments, as the module's annotations promise them.
#pragma once

#include "interop/python.h"

namespace overflow::interop {

// TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
[[noreturn]] void raise_incorrect_type(const char* argument, const char* expected, PyObject* value);

// Exactly `expected` (no subclass), or None when `none_allowed`.
inline void require_exact(PyObject* value, PyTypeObject* expected, const char* argument,
                          bool none_allowed = false) {
    if (Py_IS_TYPE(value, expected) || (none_allowed && value == Py_None)) return;
    raise_incorrect_type(argument, expected->tp_name, value);
}

// A real number as a double, through Python's float conversion.
double to_double(PyObject* value);

// Python's truth value; an exception raised by the object's truth test propagates.
bool truth(PyObject* value);

}  // namespace overflow::interop

#include "interop/arguments.h"

namespace overflow::interop {

void raise_incorrect_type(const char* argument, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
                 expected, Py_TYPE(value)->tp_name);
    throw py::error_already_set();
}

double to_double(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

bool truth(PyObject* value) {
    return require(PyObject_IsTrue(value)) != 0;
}

}  // namespace overflow::interop

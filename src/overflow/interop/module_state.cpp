#include "interop/module_state.h"

namespace overflow::interop {

InternedNames names;

namespace {
PyObject* the_module_dict = nullptr;

[[noreturn]] void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw py::error_already_set();
}
}  // namespace

void intern_names() {
#define OVERFLOW_INTERN_NAME(field, text, ...)      \
    names.field = PyUnicode_InternFromString(text); \
    if (names.field == nullptr) throw py::error_already_set();
    OVERFLOW_MONITOR_ATTRIBUTES(OVERFLOW_INTERN_NAME)
    OVERFLOW_INTERNED_NAMES(OVERFLOW_INTERN_NAME)
#undef OVERFLOW_INTERN_NAME
}

PyObject* module_dict() { return the_module_dict; }

void set_module_dict(PyObject* dict) {
    Py_XINCREF(dict);
    Py_XSETREF(the_module_dict, dict);
}

py::object global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(the_module_dict, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        raise_name_error(name);
    }
    return borrow(value);
}

py::object global_or_builtin(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(the_module_dict, name);
    if (value != nullptr) return borrow(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value != nullptr) return borrow(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    raise_name_error(name);
}

}  // namespace overflow::interop

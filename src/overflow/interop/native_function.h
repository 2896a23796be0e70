// The native function type: every function and method of the module, and every wrapper it
// creates, is one of these. To Python code it behaves like a plain Python function: vectorcall,
// method binding, Python's own argument-binding errors, writable names, __defaults__,
// __kwdefaults__, string __annotations__, a __dict__, a __code__ with its parameters,
// inspect.signature, pickling by reference, GC and weak references.
#pragma once

#include <string>
#include <vector>

#include "interop/python.h"

namespace overflow::interop {

struct NativeFunction;

// Arguments bound to the declared parameters: one borrowed reference per parameter, in order.
using Arguments = PyObject* const*;
using FixedImpl = py::object (*)(NativeFunction& function, Arguments args);
// A function taking (*args, **kwargs) receives the vectorcall arguments exactly as they came and
// returns a new reference, or nullptr with the Python error set.
using VariadicImpl = PyObject* (*)(NativeFunction& function, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames);

struct Parameter {
    const char* name;
    const char* annotation = nullptr;
};

struct DefaultValue {
    enum class Kind { None, Bool, Float };
    Kind kind = Kind::None;
    double number = 0.0;

    static constexpr DefaultValue none() { return {}; }
    static constexpr DefaultValue boolean(bool value) { return {Kind::Bool, value ? 1.0 : 0.0}; }
    static constexpr DefaultValue real(double value) { return {Kind::Float, value}; }
};

// What a function is: its names, parameters and implementation. Lives for the whole process.
struct FunctionSpec {
    std::string name{};
    std::string qualname{};
    std::vector<Parameter> parameters{};   // positional-or-keyword, self included for methods
    std::vector<DefaultValue> defaults{};  // for the last parameters, as in __defaults__
    const char* return_annotation = nullptr;
    FixedImpl fixed = nullptr;
    VariadicImpl variadic = nullptr;      // set instead of `fixed` for (*args, **kwargs)
};

constexpr Py_ssize_t max_parameters = 16;

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* parameter_names;  // tuple of interned str
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or None
    PyObject* kwdefaults;   // dict or None
    PyObject* annotations;  // dict
    PyObject* dict;         // __dict__, created on demand
    PyObject* closure;      // tuple of values the implementation closes over, or nullptr
    PyObject* weakrefs;
};

extern PyTypeObject NativeFunctionType;

void ready_native_function_type();

// A new native function for `spec`, reporting `module` as __module__ and closing over `closure`.
py::object make_function(const FunctionSpec& spec, PyObject* module_name,
                         py::tuple closure = py::tuple());

inline bool is_native_function(PyObject* object, const FunctionSpec& spec) {
    return Py_IS_TYPE(object, &NativeFunctionType) &&
           reinterpret_cast<NativeFunction*>(object)->spec == &spec;
}

// The closure is nullptr once the garbage collector has broken a cycle through the function.
inline Borrowed closure_item(NativeFunction& function, Py_ssize_t index) {
    if (function.closure == nullptr) {
        PyErr_SetString(PyExc_ReferenceError,
                        "the function's closure was cleared by the garbage collector");
        throw py::error_already_set();
    }
    return PyTuple_GET_ITEM(function.closure, index);
}

}  // namespace overflow::interop

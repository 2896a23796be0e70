#include "interop/native_function.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "interop/errors.h"
#include "interop/module_state.h"

namespace overflow::interop {

namespace {

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

PyObject* invoke_fixed(NativeFunction* function, PyObject* const* args) {
    try {
        return function->spec->fixed(*function, args).release().ptr();
    } catch (...) {
        restore_python_error();
        return nullptr;
    }
}

// Python's own wording for the argument-binding errors of a function.

PyObject* raise_too_many_positional(NativeFunction* function, Py_ssize_t given) {
    Py_ssize_t count = PyTuple_GET_SIZE(function->parameter_names);
    Py_ssize_t defaults =
        PyTuple_Check(function->defaults) ? PyTuple_GET_SIZE(function->defaults) : 0;
    PyObject* signature =
        defaults ? PyUnicode_FromFormat("from %zd to %zd", count - defaults, count)
                 : PyUnicode_FromFormat("%zd", count);
    if (signature == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 function->qualname, signature, count == 1 ? "" : "s", given,
                 given == 1 ? "was" : "were");
    Py_DECREF(signature);
    return nullptr;
}

PyObject* raise_missing(NativeFunction* function, PyObject* const* bound) {
    py::list missing;
    Py_ssize_t count = PyTuple_GET_SIZE(function->parameter_names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (bound[i] == nullptr) {
            missing.append(py::repr(borrow(PyTuple_GET_ITEM(function->parameter_names, i))));
        }
    }
    Py_ssize_t size = PyList_GET_SIZE(missing.ptr());
    py::object names;
    if (size == 1) {
        names = missing[0];
    } else {
        py::object head = py::str(", ").attr("join")(missing[py::slice(0, size - 1, 1)]);
        names = py::str("{}{}{}").format(head, size == 2 ? " and " : ", and ", missing[size - 1]);
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 function->qualname, size, size == 1 ? "" : "s", names.ptr());
    return nullptr;
}

Py_ssize_t find_parameter(PyObject* names, PyObject* keyword) {
    Py_ssize_t count = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(names, i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        int equal = PyUnicode_Compare(PyTuple_GET_ITEM(names, i), keyword);
        if (equal == 0) return i;
        if (equal == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

// Binds positional and keyword arguments to the parameters, filling in defaults.
bool bind_arguments(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
    PyObject* names = function->parameter_names;
    Py_ssize_t count = PyTuple_GET_SIZE(names);
    if (nargs > count) {
        raise_too_many_positional(function, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = find_parameter(names, keyword);
        if (index == -2) return false;
        if (index == -1) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         function->qualname, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         function->qualname, keyword);
            return false;
        }
        bound[index] = args[nargs + k];
    }
    Py_ssize_t default_count =
        PyTuple_Check(function->defaults) ? PyTuple_GET_SIZE(function->defaults) : 0;
    bool complete = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (bound[i] != nullptr) continue;
        Py_ssize_t default_index = i - (count - default_count);
        if (default_index >= 0) {
            bound[i] = PyTuple_GET_ITEM(function->defaults, default_index);
        } else {
            complete = false;
        }
    }
    if (!complete) {
        try {
            raise_missing(function, bound);
        } catch (...) {
            restore_python_error();
        }
        return false;
    }
    return true;
}

PyObject* fixed_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    NativeFunction* function = as_function(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == PyTuple_GET_SIZE(function->parameter_names)) {
        return invoke_fixed(function, args);
    }
    PyObject* bound[max_parameters] = {};
    // Defaults are borrowed from the tuple; keep it alive in case the call replaces __defaults__.
    py::object defaults = borrow(function->defaults);
    if (!bind_arguments(function, args, nargs, kwnames, bound)) return nullptr;
    return invoke_fixed(function, bound);
}

PyObject* variadic_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    NativeFunction* function = as_function(self);
    return function->spec->variadic(*function, args, nargsf, kwnames);
}

// Slots.

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// The function a wrapper stands for (its __dict__ holds __wrapped__, as functools.wraps leaves
// it), borrowed from that dict; nullptr for any other function, or with an error set.
PyObject* wrapped_function(NativeFunction* function) {
    if (function->dict == nullptr) return nullptr;
    return PyDict_GetItemWithError(function->dict, names.wrapped);
}

PyObject* function_repr(PyObject* self) {
    // A wrapper sits where the user's function was: whatever shows the name's value must show
    // that function.
    PyObject* wrapped = wrapped_function(as_function(self));
    if (wrapped != nullptr && wrapped != self) {
        // Held: its repr may run code that rebinds __wrapped__.
        py::object held = borrow(wrapped);
        return PyObject_Repr(held.ptr());
    }
    if (PyErr_Occurred()) return nullptr;
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* function = as_function(self);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->defaults);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    Py_VISIT(function->closure);
    return 0;
}

int function_clear(PyObject* self) {
    NativeFunction* function = as_function(self);
    // Fields that getters hand out stay valid (None) for anything that still sees the object.
    Py_SETREF(function->module, Py_NewRef(Py_None));
    Py_SETREF(function->doc, Py_NewRef(Py_None));
    Py_SETREF(function->defaults, Py_NewRef(Py_None));
    Py_SETREF(function->kwdefaults, Py_NewRef(Py_None));
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->closure);
    return 0;
}

void function_dealloc(PyObject* self) {
    NativeFunction* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(function->parameter_names);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    PyObject_GC_Del(self);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // By reference, like a Python function: pickle looks the qualified name up in __module__.
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Attributes.

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_str_field(PyObject** field, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_NewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_NewRef(value));
    return 0;
}

// The code objects of __code__, one per FunctionSpec as the functions of one `def` share theirs,
// kept for the life of the process. They carry the parameters for tools that take an object with
// a __code__ for a function (inspect.getfullargspec among them), and the module's own file, which
// the monitor never counts as user code: `overflow` sits in every watched script's namespace.
std::unordered_map<const FunctionSpec*, PyObject*> codes;

py::object make_code(const FunctionSpec& spec, PyObject* filename) {
    std::string source = "def " + spec.name + "(";
    if (spec.variadic != nullptr) {
        source += "*args, **kwargs";
    } else {
        for (size_t i = 0; i < spec.parameters.size(); ++i) {
            source += (i ? ", " : "") + std::string(spec.parameters[i].name);
        }
    }
    source += "): pass\n";
    py::object module_code = steal_or_throw(
        Py_CompileStringObject(source.c_str(), filename, Py_file_input, nullptr, 0));
    for (py::handle constant : py::tuple(module_code.attr("co_consts"))) {
        if (PyCode_Check(constant.ptr())) {
            return constant.attr("replace")(py::arg("co_qualname") = py::str(spec.qualname));
        }
    }
    throw std::logic_error("no code object compiled for " + spec.name);
}

PyObject* get_code(PyObject* self, void*) {
    const FunctionSpec* spec = as_function(self)->spec;
    auto known = codes.find(spec);
    if (known != codes.end()) return Py_NewRef(known->second);
    try {
        PyObject* file = PyDict_GetItemWithError(module_dict(), names.dunder_file);
        if (file == nullptr && PyErr_Occurred()) return nullptr;
        if (file == nullptr || !PyUnicode_Check(file)) {
            // Not loaded from a file: a pseudo-filename, never user code either.
            return make_code(*spec, py::str("<zuvoda.overflow>").ptr()).release().ptr();
        }
        PyObject* code = make_code(*spec, file).release().ptr();
        codes.emplace(spec, code);
        return Py_NewRef(code);
    } catch (...) {
        restore_python_error();
        return nullptr;
    }
}

PyObject* get_annotations(PyObject* self, void*) {
    NativeFunction* function = as_function(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
        if (function->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(function->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// inspect.signature support. A wrapper answers with the signature of the Python function it
// wraps: inspect.getfullargspec, which never follows __wrapped__ but reads __signature__, then
// sees the wrapped function's parameters too. Where the wrapped object is no plain function (a
// bound method, a partial, a function that wraps another), the two inspect functions disagree
// on the answer; the wrapper then has no signature of its own, and inspect.signature follows
// the chain as it does for Python wrappers.
py::object build_signature(NativeFunction* function) {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter_type = inspect.attr("Parameter");
    py::object empty = parameter_type.attr("empty");
    py::dict annotations =
        function->annotations ? py::dict(borrow(function->annotations)) : py::dict();
    auto annotation_of = [&](const char* name) -> py::object {
        py::str key(name);
        return annotations.contains(key) ? py::object(annotations[key]) : empty;
    };
    py::list parameters;
    if (function->spec->variadic != nullptr) {
        parameters.append(parameter_type("args", parameter_type.attr("VAR_POSITIONAL"),
                                         py::arg("annotation") = annotation_of("args")));
        parameters.append(parameter_type("kwargs", parameter_type.attr("VAR_KEYWORD"),
                                         py::arg("annotation") = annotation_of("kwargs")));
    } else {
        Py_ssize_t count = PyTuple_GET_SIZE(function->parameter_names);
        Py_ssize_t default_count =
            PyTuple_Check(function->defaults) ? PyTuple_GET_SIZE(function->defaults) : 0;
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::object name = borrow(PyTuple_GET_ITEM(function->parameter_names, i));
            Py_ssize_t default_index = i - (count - default_count);
            py::object default_value =
                default_index >= 0 ? borrow(PyTuple_GET_ITEM(function->defaults, default_index))
                                   : empty;
            parameters.append(parameter_type(
                name, parameter_type.attr("POSITIONAL_OR_KEYWORD"),
                py::arg("default") = default_value,
                py::arg("annotation") = annotation_of(PyUnicode_AsUTF8(name.ptr()))));
        }
    }
    return inspect.attr("Signature")(parameters,
                                     py::arg("return_annotation") = annotation_of("return"));
}

PyObject* signature_of_wrapped(py::object wrapped) {
    // Another native function answers both the same way already, and a wrapper of a wrapper
    // inspects as what the chain ends at.
    if (Py_IS_TYPE(wrapped.ptr(), &NativeFunctionType)) {
        // A chain that loops ends in RecursionError, not in a stack overflow.
        if (Py_EnterRecursiveCall(" while inspecting a wrapped function")) return nullptr;
        PyObject* signature = PyObject_GetAttr(wrapped.ptr(), names.signature);
        Py_LeaveRecursiveCall();
        return signature;
    }
    try {
        if (PyFunction_Check(wrapped.ptr()) && !py::hasattr(wrapped, names.wrapped)) {
            return py::module_::import("inspect").attr("signature")(wrapped).release().ptr();
        }
    } catch (...) {
        restore_python_error();
        return nullptr;
    }
    PyErr_SetString(PyExc_AttributeError, "__signature__");
    return nullptr;
}

PyObject* get_signature(PyObject* self, void*) {
    NativeFunction* function = as_function(self);
    if (function->dict != nullptr) {
        PyObject* explicit_signature = PyDict_GetItemWithError(function->dict, names.signature);
        if (explicit_signature != nullptr) return Py_NewRef(explicit_signature);
        if (PyErr_Occurred()) return nullptr;
        PyObject* wrapped = wrapped_function(function);
        if (wrapped != nullptr) return signature_of_wrapped(borrow(wrapped));
        if (PyErr_Occurred()) return nullptr;
    }
    try {
        return build_signature(function).release().ptr();
    } catch (...) {
        restore_python_error();
        return nullptr;
    }
}

int set_signature(PyObject* self, PyObject* value, void*) {
    NativeFunction* function = as_function(self);
    if (function->dict == nullptr) {
        function->dict = PyDict_New();
        if (function->dict == nullptr) return -1;
    }
    if (value == nullptr) return PyDict_DelItem(function->dict, names.signature);
    return PyDict_SetItem(function->dict, names.signature, value);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

py::object default_object(const DefaultValue& value) {
    switch (value.kind) {
        case DefaultValue::Kind::Bool:
            return py::bool_(value.number != 0.0);
        case DefaultValue::Kind::Float:
            return py::float_(value.number);
        case DefaultValue::Kind::None:
            break;
    }
    return py::none();
}

}  // namespace

// The C API's own way to define a static type; its other slots are filled in below.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject NativeFunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

void ready_native_function_type() {
    PyTypeObject& type = NativeFunctionType;
    type.tp_name = "zuvoda.overflow.native_function";
    type.tp_basicsize = sizeof(NativeFunction);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    type.tp_call = PyVectorcall_Call;
    type.tp_descr_get = function_descr_get;
    type.tp_repr = function_repr;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_dealloc = function_dealloc;
    type.tp_methods = function_methods;
    type.tp_getset = function_getset;
    type.tp_dictoffset = offsetof(NativeFunction, dict);
    type.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
    require(PyType_Ready(&type));
}

py::object make_function(const FunctionSpec& spec, PyObject* module_name, py::tuple closure) {
    auto parameter_count = static_cast<Py_ssize_t>(spec.parameters.size());
    if (parameter_count > max_parameters) {
        throw std::logic_error("too many parameters: " + spec.name);
    }

    py::tuple parameter_names(parameter_count);
    py::dict annotations;
    for (Py_ssize_t i = 0; i < parameter_count; ++i) {
        const Parameter& parameter = spec.parameters[static_cast<size_t>(i)];
        PyObject* name = PyUnicode_InternFromString(parameter.name);
        if (name == nullptr) throw py::error_already_set();
        PyTuple_SET_ITEM(parameter_names.ptr(), i, name);
        if (parameter.annotation != nullptr) annotations[name] = py::str(parameter.annotation);
    }
    if (spec.variadic != nullptr) {
        annotations["args"] = py::str("Any");
        annotations["kwargs"] = py::str("Any");
    }
    if (spec.return_annotation != nullptr) annotations["return"] = py::str(spec.return_annotation);

    py::object defaults = py::none();
    if (!spec.defaults.empty()) {
        py::tuple values(spec.defaults.size());
        for (size_t i = 0; i < spec.defaults.size(); ++i) {
            values[i] = default_object(spec.defaults[i]);
        }
        defaults = values;
    }

    NativeFunction* function = PyObject_GC_New(NativeFunction, &NativeFunctionType);
    if (function == nullptr) throw py::error_already_set();
    function->vectorcall = spec.variadic != nullptr ? variadic_vectorcall : fixed_vectorcall;
    function->spec = &spec;
    function->parameter_names = parameter_names.release().ptr();
    function->name = py::str(spec.name).release().ptr();
    function->qualname = py::str(spec.qualname).release().ptr();
    function->module = Py_NewRef(module_name);
    function->doc = Py_NewRef(Py_None);
    function->defaults = defaults.release().ptr();
    function->kwdefaults = Py_NewRef(Py_None);
    function->annotations = annotations.release().ptr();
    function->dict = nullptr;
    function->closure = PyTuple_GET_SIZE(closure.ptr()) ? closure.release().ptr() : nullptr;
    function->weakrefs = nullptr;
    PyObject_GC_Track(function);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(function));
}

}  // namespace overflow::interop

// The monitor's one cloud client: created on the first offloaded call, once, under _vazovez_lock,
// and never again after its creation failed.
#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/held_locks.h"
#include "interop/module_state.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::names;

// `from zuvoda.client import VazoVez`, with the import statement's error for a missing name.
py::object import_client_class() {
    py::tuple fromlist = py::make_tuple(borrow(names.client_class));
    py::object module = interop::unless_interpreter_ends_thread([&] {
        return steal_or_throw(PyImport_ImportModuleLevelObject(
            names.client_module, interop::module_dict(), nullptr, fromlist.ptr(), 0));
    });
    py::object client_class = interop::get_optional_attr(module.ptr(), names.client_class);
    if (client_class) return client_class;
    PyObject* path = PyModule_GetFilenameObject(module.ptr());
    if (path == nullptr) PyErr_Clear();
    py::object location =
        path ? py::reinterpret_steal<py::object>(path) : py::str("unknown location");
    py::object message = steal_or_throw(
        PyUnicode_FromFormat("cannot import name %R from %R (%S)", names.client_class,
                             names.client_module, location.ptr()));
    PyErr_SetImportError(message.ptr(), names.client_module, path ? location.ptr() : nullptr);
    throw py::error_already_set();
}

bool no_client_yet(PyObject* self) {
    return interop::get_attr(self, names.vazovez).is_none() &&
           !interop::truth(interop::get_attr(self, names.vazovez_failed).ptr());
}

// The client may reach the network while it is imported, built, opened and run, on the caller's
// thread: a daemon thread may be ended there at interpreter exit.
void create_client(PyObject* self) {
    py::object client_class = import_client_class();
    try {
        py::dict arguments;
        for (PyObject* name : {names.api_key, names.fast, names.api_url, names.verbose}) {
            arguments[name] = interop::get_attr(self, name);
        }
        py::tuple no_positional;
        py::object client = interop::unless_interpreter_ends_thread([&] {
            return steal_or_throw(
                PyObject_Call(client_class.ptr(), no_positional.ptr(), arguments.ptr()));
        });
        interop::unless_interpreter_ends_thread(
            [&] { return interop::call_method(client.ptr(), names.dunder_enter); });
        interop::set_attr(self, names.vazovez, client);
    } catch (...) {
        py::error_already_set error = interop::current_python_error();
        if (error.matches(PyExc_Exception)) interop::set_attr(self, names.vazovez_failed, Py_True);
        throw error;
    }
}

py::object get_vazovez(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    if (no_client_yet(self)) {
        py::object lock = interop::get_attr(self, names.vazovez_lock);
        bool entered = interop::with_lock_unless_held(lock.ptr(), [self] {
            // Another thread may have created the client, or failed, while this one waited.
            if (no_client_yet(self)) create_client(self);
        });
        // Creating the client runs Python code that can call an offloading wrapper on this very
        // thread (a `__del__` run by a garbage collection); waiting for the lock would never end.
        if (!entered) {
            PyErr_SetString(PyExc_RuntimeError,
                            "the cloud client is being created on this thread");
            throw py::error_already_set();
        }
    }
    return interop::get_attr(self, names.vazovez);
}

py::object cloud_execute(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    PyObject* func = args[1];
    PyObject* call_args = args[2];
    PyObject* call_kwargs = args[3];
    interop::require_exact(call_args, &PyTuple_Type, "args");
    interop::require_exact(call_kwargs, &PyDict_Type, "kwargs");

    py::object client = interop::call_method(self, names.get_vazovez);
    py::object warm_result = interop::get_attr(self, names.warm_result);
    py::object warm_id =
        interop::call_method(warm_result.ptr(), names.get, names.warm_session_id_key);
    if (interop::truth(warm_id.ptr())) {
        interop::set_attr(client.ptr(), names.warm_session_id_attr, warm_id);
    }
    py::object run = interop::get_attr(client.ptr(), names.run);
    Py_ssize_t count = PyTuple_GET_SIZE(call_args);
    py::tuple run_args(count + 1);
    PyTuple_SET_ITEM(run_args.ptr(), 0, Py_NewRef(func));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(run_args.ptr(), i + 1, Py_NewRef(PyTuple_GET_ITEM(call_args, i)));
    }
    py::object run_kwargs = steal_or_throw(PyDict_Copy(call_kwargs));
    return interop::unless_interpreter_ends_thread([&] {
        return steal_or_throw(PyObject_Call(run.ptr(), run_args.ptr(), run_kwargs.ptr()));
    });
}

}  // namespace

const interop::FunctionSpec get_vazovez_spec =
    monitor_method("_get_vazovez", {{"self"}}, "Any", get_vazovez);

const interop::FunctionSpec cloud_execute_spec = monitor_method(
    "_cloud_execute",
    {{"self"}, {"func", "Callable[..., Any]"}, {"args", "tuple[Any, ...]"},
     {"kwargs", "dict[str, Any]"}},
    "Any", cloud_execute);

}  // namespace overflow

// Module initialisation: fills the namespace of zuvoda.overflow in its fixed order. Importing
// starts no thread, installs no hook and reads no environment variable.
#include "detection/library_paths.h"
#include "detection/records.h"
#include "entry.h"
#include "interop/errors.h"
#include "interop/module_state.h"
#include "interop/native_function.h"
#include "monitor/monitor_class.h"
#include "offload/wrapper.h"

namespace overflow {

namespace {

// `.invalid` never resolves: with nothing configured, no code, argument or key leaves the machine.
constexpr const char* default_api_url = "https://api.zuvoda.invalid";

// m_size 0 (not -1) so that CPython calls the initialisation again for a second interpreter or a
// re-import instead of silently copying the first module's namespace: both are refused.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "overflow", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;
int64_t owning_interpreter = -1;

void fill_namespace(PyObject* module) {
    py::dict ns = borrow(PyModule_GetDict(module));
    py::object module_name = py::str("zuvoda.overflow");
    for (const char* standard :
         {"atexit", "functools", "logging", "os", "sys", "threading", "time"}) {
        ns[standard] = py::module_::import(standard);
    }
    py::module_ typing = py::module_::import("typing");
    for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Set", "Tuple"}) {
        ns[name] = typing.attr(name);
    }
    ns["logger"] = ns["logging"].attr("getLogger")("zuvoda.overflow");
    ns["_DEFAULT_API_URL"] = py::str(default_api_url);
    ns["_WrapRecord"] = make_wrap_record_class(module_name.ptr());
    ns["_compute_exclude_prefixes"] =
        interop::make_function(compute_exclude_prefixes_spec, module_name.ptr());
    ns["_offload_policy"] = interop::make_function(offload::offload_policy_spec, module_name.ptr());
    ns["_OverflowMonitor"] = make_monitor_class(module_name.ptr());
    ns["_active_monitor"] = py::none();
    ns["overflow"] = interop::make_function(overflow_spec, module_name.ptr());
}

}  // namespace

}  // namespace overflow

PyMODINIT_FUNC PyInit_overflow() {
    using namespace overflow;
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (owning_interpreter == -1) {
        owning_interpreter = interpreter;
    } else if (interpreter != owning_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module != nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'overflow' has already been imported. Re-initialisation is not "
                        "supported.");
        return nullptr;
    }
    PyObject* module = PyModule_Create(&module_definition);
    if (module == nullptr) return nullptr;
    try {
        // pybind11 makes its internals (a type among them) on first use, and releasing a caught
        // error is such a use: make them now rather than when that fails, at the recursion limit.
        { py::gil_scoped_acquire first_use; }
        interop::intern_names();
        interop::ready_native_function_type();
        interop::set_module_dict(PyModule_GetDict(module));
        fill_namespace(module);
    } catch (...) {
        interop::restore_python_error();
        interop::set_module_dict(nullptr);
        Py_DECREF(module);
        return nullptr;
    }
    the_module = module;
    return module;
}

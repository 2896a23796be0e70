// _OverflowMonitor's constructor and its pickling support.
#include <cmath>

#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/module_state.h"
#include "monitor/configuration.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::names;

// None and float stay; int becomes float; anything else with a number protocol goes through
// float(); the rest is refused.
py::object normalise_gpu_threshold(PyObject* value) {
    if (value == Py_None || PyFloat_CheckExact(value)) return borrow(value);
    if (PyLong_Check(value) || PyNumber_Check(value)) return steal_or_throw(PyNumber_Float(value));
    interop::raise_incorrect_type("gpu_threshold", "float", value);
}

py::object environment_get(const py::object& os, const char* variable) {
    return os.attr("environ").attr("get")(variable);
}

py::object resolve_api_key(PyObject* argument, const py::object& os) {
    if (interop::truth(argument)) return borrow(argument);
    py::object zuvoda_key = environment_get(os, "ZUVODA_API_KEY");
    if (interop::truth(zuvoda_key.ptr())) return zuvoda_key;
    return environment_get(os, "VAZOVEZ_API_KEY");
}

py::object resolve_api_url(PyObject* argument, const py::object& os) {
    if (interop::truth(argument)) return borrow(argument);
    py::object fallback = interop::global(names.default_api_url);
    return os.attr("environ").attr("get")("ZUVODA_API_URL", fallback);
}

py::object monitor_init(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    MonitorConfiguration config = check_configuration(args[1], args[2], args[3], args[4], args[5],
                                                      args[6], args[7], args[8], args[9]);
    auto set = [self](PyObject* name, const py::handle& value) {
        interop::set_attr(self, name, value);
    };
    set(names.fast, py::bool_(config.fast));
    set(names.threshold, py::float_(config.threshold));
    set(names.check_interval, py::float_(config.check_interval));
    set(names.gpu_threshold, config.gpu_threshold.is_none() ? py::float_(config.threshold)
                                                            : config.gpu_threshold);
    set(names.verbose, py::bool_(config.verbose));
    py::object os = interop::global(names.mod_os);
    set(names.api_key, resolve_api_key(config.api_key, os));
    set(names.api_url, resolve_api_url(config.api_url, os));

    py::object threading = interop::global(names.mod_threading);
    py::float_ zero(0.0);
    set(names.running, py::bool_(false));
    set(names.overloaded, py::bool_(false));
    set(names.cpu_usage, zero);
    set(names.mem_usage, zero);
    set(names.gpu_util, zero);
    set(names.gpu_mem_util, zero);
    set(names.gpu_available, py::bool_(false));
    set(names.nvml_handle, py::none());
    set(names.call_stack, py::list());
    set(names.wrapped_functions, py::dict());
    set(names.heavy_signatures, py::set());
    set(names.scope_wrapped, py::bool_(false));
    set(names.filename_cache, py::dict());
    set(names.lock, threading.attr("Lock")());
    set(names.monitor_thread, py::none());
    set(names.original_profile, py::none());
    set(names.vazovez, py::none());
    set(names.vazovez_lock, threading.attr("Lock")());
    set(names.vazovez_failed, py::bool_(false));
    set(names.warm_result, py::dict());
    set(names.exclude_prefixes, interop::global(names.compute_exclude_prefixes)());
    return py::none();
}

py::object monitor_getstate(interop::NativeFunction&, interop::Arguments args) {
    py::object instance_dict = interop::get_attr(args[0], names.dunder_dict);
    py::object state = instance_dict.attr("copy")();
    for (PyObject* transient : {names.lock, names.vazovez_lock, names.monitor_thread}) {
        state.attr("pop")(borrow(transient), py::none());
    }
    return state;
}

py::object monitor_setstate(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    interop::get_attr(self, names.dunder_dict).attr("update")(borrow(args[1]));
    py::object threading = interop::global(names.mod_threading);
    interop::set_attr(self, names.lock, threading.attr("Lock")());
    interop::set_attr(self, names.vazovez_lock, threading.attr("Lock")());
    interop::set_attr(self, names.monitor_thread, py::none());
    return py::none();
}

}  // namespace

MonitorConfiguration check_configuration(PyObject* fast, PyObject* threshold,
                                         PyObject* check_interval, PyObject* api_key,
                                         PyObject* api_url, PyObject* gpu_threshold,
                                         PyObject* verbose, PyObject* priority,
                                         PyObject* flexible) {
    MonitorConfiguration config{};
    config.fast = interop::truth(fast);
    config.threshold = interop::to_double(threshold);
    config.check_interval = interop::to_double(check_interval);
    // The sampling thread would die on its first pause and the monitor never see overload.
    if (!std::isfinite(config.check_interval) || config.check_interval < 0) {
        PyErr_Format(PyExc_ValueError,
                     "check_interval must be a finite number of seconds, 0 or more, got %R",
                     check_interval);
        throw py::error_already_set();
    }
    config.gpu_threshold = normalise_gpu_threshold(gpu_threshold);
    config.verbose = interop::truth(verbose);
    interop::require_exact(api_key, &PyUnicode_Type, "api_key", true);
    interop::require_exact(api_url, &PyUnicode_Type, "api_url", true);
    interop::require_exact(priority, &PyBool_Type, "priority", true);
    interop::require_exact(flexible, &PyBool_Type, "flexible", true);
    config.api_key = api_key;
    config.api_url = api_url;
    return config;
}

const interop::FunctionSpec monitor_init_spec{
    .name = "__init__",
    .qualname = "_OverflowMonitor.__init__",
    .parameters = {{"self"},
                   {"fast", "bool"},
                   {"threshold", "float"},
                   {"check_interval", "float"},
                   {"api_key", "Optional[str]"},
                   {"api_url", "Optional[str]"},
                   {"gpu_threshold", "Optional[float]"},
                   {"verbose", "bool"},
                   {"priority", "bool | None"},
                   {"flexible", "bool | None"}},
    .defaults = {interop::DefaultValue::none(), interop::DefaultValue::boolean(true),
                 interop::DefaultValue::none(), interop::DefaultValue::none()},
    .return_annotation = "None",
    .fixed = monitor_init,
};

const interop::FunctionSpec monitor_getstate_spec{
    .name = "__getstate__",
    .qualname = "_OverflowMonitor.__getstate__",
    .parameters = {{"self"}},
    .fixed = monitor_getstate,
};

const interop::FunctionSpec monitor_setstate_spec{
    .name = "__setstate__",
    .qualname = "_OverflowMonitor.__setstate__",
    .parameters = {{"self"}, {"state"}},
    .fixed = monitor_setstate,
};

}  // namespace overflow

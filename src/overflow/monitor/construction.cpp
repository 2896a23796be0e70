// _OverflowMonitor's constructor and its pickling support.
#include <cmath>
#include <stdexcept>

#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/module_state.h"
#include "monitor/attributes.h"
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

py::object configured_value(MonitorAttribute attribute, const MonitorConfiguration& config) {
    switch (attribute) {
        case MonitorAttribute::fast:
            return py::bool_(config.fast);
        case MonitorAttribute::threshold:
            return py::float_(config.threshold);
        case MonitorAttribute::check_interval:
            return py::float_(config.check_interval);
        case MonitorAttribute::gpu_threshold:
            if (config.gpu_threshold.is_none()) return py::float_(config.threshold);
            return config.gpu_threshold;
        case MonitorAttribute::verbose:
            return py::bool_(config.verbose);
        case MonitorAttribute::api_key:
            return resolve_api_key(config.api_key, interop::global(names.mod_os));
        case MonitorAttribute::api_url:
            return resolve_api_url(config.api_url, interop::global(names.mod_os));
        default:
            throw std::logic_error("monitor attribute without a configured value");
    }
}

py::object new_lock() { return interop::global(names.mod_threading).attr("Lock")(); }

// The initial value of an attribute that does not come from the configuration.
py::object fresh_value(const MonitorAttributeFacts& attribute) {
    switch (attribute.initial) {
        case Initial::configured:
            break;
        case Initial::no:
            return py::bool_(false);
        case Initial::zero:
            return py::float_(0.0);
        case Initial::none:
            return py::none();
        case Initial::empty_list:
            return py::list();
        case Initial::empty_dict:
            return py::dict();
        case Initial::empty_set:
            return py::set();
        case Initial::new_lock:
            return new_lock();
        case Initial::library_prefixes:
            return interop::global(names.compute_exclude_prefixes)();
    }
    throw std::logic_error("configured monitor attribute without its configuration");
}

py::object initial_value(const MonitorAttributeFacts& attribute,
                         const MonitorConfiguration& config) {
    if (attribute.initial == Initial::configured) return configured_value(attribute.id, config);
    return fresh_value(attribute);
}

py::object monitor_init(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    MonitorConfiguration config = check_configuration(args + 1);
    for (const MonitorAttributeFacts& attribute : monitor_attributes) {
        interop::set_attr(self, name_of(attribute), initial_value(attribute, config));
    }
    return py::none();
}

py::object monitor_getstate(interop::NativeFunction&, interop::Arguments args) {
    py::object instance_dict = interop::get_attr(args[0], names.dunder_dict);
    py::object state = instance_dict.attr("copy")();
    for (const MonitorAttributeFacts& attribute : monitor_attributes) {
        if (!attribute.pickled) {
            state.attr("pop")(borrow(name_of(attribute)), py::none());
        }
    }
    return state;
}

// What is not pickled starts again as new; the locks first, as a restored instance's dict has
// always ordered them.
py::object monitor_setstate(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    interop::get_attr(self, names.dunder_dict).attr("update")(borrow(args[1]));
    for (bool locks : {true, false}) {
        for (const MonitorAttributeFacts& attribute : monitor_attributes) {
            if (attribute.pickled || (attribute.initial == Initial::new_lock) != locks) continue;
            interop::set_attr(self, name_of(attribute), fresh_value(attribute));
        }
    }
    return py::none();
}

}  // namespace

MonitorConfiguration check_configuration(interop::Arguments arguments) {
    // In the order of configuration_parameters.
    enum : size_t { fast, threshold, check_interval, api_key, api_url, gpu_threshold, verbose,
                    priority, flexible, count };
    static_assert(count == std::size(configuration_parameters));
    MonitorConfiguration config{};
    config.fast = interop::truth(arguments[fast]);
    config.threshold = interop::to_double(arguments[threshold]);
    config.check_interval = interop::to_double(arguments[check_interval]);
    // The sampling thread would die on its first pause and the monitor never see overload.
    if (!std::isfinite(config.check_interval) || config.check_interval < 0) {
        PyErr_Format(PyExc_ValueError,
                     "check_interval must be a finite number of seconds, 0 or more, got %R",
                     arguments[check_interval]);
        throw py::error_already_set();
    }
    config.gpu_threshold = normalise_gpu_threshold(arguments[gpu_threshold]);
    config.verbose = interop::truth(arguments[verbose]);
    interop::require_exact(arguments[api_key], &PyUnicode_Type, "api_key", true);
    interop::require_exact(arguments[api_url], &PyUnicode_Type, "api_url", true);
    interop::require_exact(arguments[priority], &PyBool_Type, "priority", true);
    interop::require_exact(arguments[flexible], &PyBool_Type, "flexible", true);
    config.api_key = arguments[api_key];
    config.api_url = arguments[api_url];
    return config;
}

// The constructor has no defaults for what overflow() always passes.
const interop::FunctionSpec monitor_init_spec =
    monitor_method("__init__", with_configuration_parameters({{"self"}}, {}), "None",
                   monitor_init, configuration_defaults(4, {}));

const interop::FunctionSpec monitor_getstate_spec =
    monitor_method("__getstate__", {{"self"}}, nullptr, monitor_getstate);

const interop::FunctionSpec monitor_setstate_spec =
    monitor_method("__setstate__", {{"self"}, {"state"}}, nullptr, monitor_setstate);

}  // namespace overflow

#include "entry.h"

#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/module_state.h"
#include "monitor/configuration.h"
#include "offload/wrapper.h"

namespace overflow {

namespace {

using interop::names;

py::object active_monitor() { return interop::global(names.active_monitor); }

// The frame of the Python code that called overflow(): a native function has no frame of its
// own, so the innermost frame of this thread is the caller's.
py::object find_caller_frame(PyObject* given) {
    if (given != Py_None) return borrow(given);
    try {
        return interop::global(names.mod_sys).attr("_getframe")();
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_ValueError) || error.matches(PyExc_AttributeError)) {
            return py::none();
        }
        throw;
    }
}

py::object overflow(interop::NativeFunction&, interop::Arguments args) {
    MonitorConfiguration config = check_configuration(args);
    // A wrong setting is refused here, before anything starts, not at the first wrap.
    offload::offload_mode();
    py::object previous = active_monitor();
    if (!previous.is_none()) interop::call_method(previous.ptr(), names.stop);

    py::object monitor = interop::global(names.monitor_class)(
        py::arg("fast") = config.fast, py::arg("threshold") = config.threshold,
        py::arg("check_interval") = config.check_interval,
        py::arg("api_key") = borrow(config.api_key), py::arg("api_url") = borrow(config.api_url),
        py::arg("gpu_threshold") = config.gpu_threshold, py::arg("verbose") = config.verbose);
    require(PyDict_SetItem(interop::module_dict(), names.active_monitor, monitor.ptr()));
    interop::call_method(active_monitor().ptr(), names.start);

    py::object frame = find_caller_frame(args[std::size(configuration_parameters)]);
    if (!frame.is_none()) {
        interop::call_method(active_monitor().ptr(), names.wrap_scope, frame.ptr());
        py::object source_file = frame.attr("f_code").attr("co_filename");
        if (interop::truth(source_file.ptr()) &&
            !interop::truth(source_file.attr("startswith")("<").ptr())) {
            interop::call_method(active_monitor().ptr(), names.start_pre_warm, source_file.ptr());
        }
    }
    return active_monitor();
}

}  // namespace

const interop::FunctionSpec overflow_spec{
    .name = "overflow",
    .qualname = "overflow",
    .parameters = with_configuration_parameters({}, {{"_caller_frame", "object"}}),
    .defaults = configuration_defaults(std::size(configuration_parameters),
                                       {interop::DefaultValue::none()}),
    .return_annotation = "_OverflowMonitor",
    .fixed = overflow,
};

}  // namespace overflow

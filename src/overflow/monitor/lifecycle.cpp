// start() and stop(): bring a monitor into operation and undo all of it, in a fixed order.
#include "detection/profile_hook.h"
#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/logging.h"
#include "interop/module_state.h"
#include "monitor/methods.h"
#include "offload/wrapper.h"

#include <vector>

namespace overflow {

namespace {

using interop::names;

// A profiler installed from C (cProfile among them) shows sys.getprofile() an object that is not
// callable; putting it back with sys.setprofile would make the interpreter call it and fail at
// the next event. Its C function is remembered when start() finds it installed, so that stop()
// can restore it the way it was installed. The entries hold their profiler objects: a process
// sees only a handful of them.
struct NativeProfiler {
    PyObject* object;
    Py_tracefunc function;
};
std::vector<NativeProfiler> native_profilers;

void remember_native_profiler() {
    PyThreadState* thread = PyThreadState_Get();
    PyObject* object = thread->c_profileobj;
    if (thread->c_profilefunc == nullptr || object == nullptr || PyCallable_Check(object)) return;
    for (NativeProfiler& known : native_profilers) {
        if (known.object == object) {
            known.function = thread->c_profilefunc;
            return;
        }
    }
    native_profilers.push_back({Py_NewRef(object), thread->c_profilefunc});
}

void restore_profile(const py::object& original) {
    for (const NativeProfiler& known : native_profilers) {
        if (known.object == original.ptr()) {
            PyEval_SetProfile(known.function, known.object);
            return;
        }
    }
    interop::global(names.mod_sys).attr("setprofile")(original);
}

constexpr const char* psutil_missing =
    "psutil is required for overflow monitoring. Install it with:  pip install 'zuvoda[overflow]'";

void require_psutil() {
    try {
        py::module_::import("psutil");
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        // Raised while the failed import is being handled, so that it becomes the context.
        interop::HandledExceptionScope handling(interop::caught_exception(error));
        PyErr_SetString(PyExc_ImportError, psutil_missing);
        throw py::error_already_set();
    }
}

py::object start(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    require_psutil();
    if (interop::truth(interop::get_attr(self, names.running).ptr())) return py::none();
    interop::call_method(self, names.init_gpu);
    interop::set_attr(self, names.running, Py_True);
    if (!detection::watch_through_monitoring(self)) {
        py::object sys = interop::global(names.mod_sys);
        remember_native_profiler();
        interop::set_attr(self, names.original_profile, sys.attr("getprofile")());
        sys.attr("setprofile")(interop::get_attr(self, names.profile_hook));
    }

    py::object thread = interop::global(names.mod_threading)
                            .attr("Thread")(
                                py::arg("target") = interop::get_attr(self, names.resource_loop),
                                py::arg("daemon") = true, py::arg("name") = "zuvoda-overflow");
    interop::set_attr(self, names.monitor_thread, thread);
    interop::get_attr(self, names.monitor_thread).attr("start")();
    interop::global(names.mod_atexit).attr("register")(interop::get_attr(self, names.stop));

    auto attr = [self](PyObject* name) { return interop::get_attr(self, name); };
    if (interop::truth(attr(names.gpu_available).ptr())) {
        interop::log(names.info,
                     "Overflow monitor started  threshold=%.0f%%  gpu_threshold=%.0f%%  fast=%s",
                     attr(names.threshold), attr(names.gpu_threshold), attr(names.fast));
    } else {
        interop::log(names.info,
                     "Overflow monitor started  threshold=%.0f%%  fast=%s  (GPU monitoring: off)",
                     attr(names.threshold), attr(names.fast));
    }
    return py::none();
}

py::object stop(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    if (!interop::truth(interop::get_attr(self, names.running).ptr())) return py::none();
    interop::set_attr(self, names.running, Py_False);
    interop::set_attr(self, names.monitor_thread, Py_None);
    interop::swallow_ordinary_exceptions([self] {
        if (!detection::stop_watching_through_monitoring(self)) {
            restore_profile(interop::get_attr(self, names.original_profile));
        }
    });
    interop::swallow_ordinary_exceptions([self] { offload::print_offload_summary(self); });
    interop::call_method(self, names.unwrap_all);

    if (interop::get_attr(self, names.vazovez).ptr() != Py_None) {
        interop::swallow_ordinary_exceptions([self] {
            interop::set_attr(interop::get_attr(self, names.vazovez).ptr(), names.verbose,
                              Py_False);
            interop::get_attr(self, names.vazovez)
                .attr("__exit__")(py::none(), py::none(), py::none());
        });
        interop::set_attr(self, names.vazovez, Py_None);
    }
    if (interop::truth(interop::get_attr(self, names.gpu_available).ptr())) {
        interop::swallow_ordinary_exceptions(
            [] { py::module_::import("pynvml").attr("nvmlShutdown")(); });
        interop::set_attr(self, names.gpu_available, Py_False);
        interop::set_attr(self, names.nvml_handle, Py_None);
    }
    interop::log(names.info, "Overflow monitor stopped.");
    return py::none();
}

}  // namespace

const interop::FunctionSpec start_spec = monitor_method("start", {{"self"}}, "None", start);

const interop::FunctionSpec stop_spec = monitor_method("stop", {{"self"}}, "None", stop);

}  // namespace overflow

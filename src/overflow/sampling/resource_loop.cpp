// The sampling thread's body: CPU and memory through psutil, GPU device 0 through pynvml, the
// overload verdict in `_overloaded` and the two logged transitions.
#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/logging.h"
#include "interop/module_state.h"
#include "interop/native_function.h"
#include "interop/text.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::get_attr;
using interop::names;
using interop::set_attr;
using interop::truth;

// Every call into Python from this thread may be where the interpreter ends it at exit, while the
// frames below hold references; see unless_interpreter_ends_thread.
template <typename... Args>
py::object call(PyObject* object, PyObject* name, Args... args) {
    return interop::unless_interpreter_ends_thread(
        [&] { return interop::call_method(object, name, args...); });
}

// `function(interval=value)`: psutil is always given the interval by keyword.
py::object call_with_interval(const py::object& function, PyObject* interval) {
    static PyObject* const keywords = PyTuple_Pack(1, names.interval);
    if (keywords == nullptr) throw py::error_already_set();
    PyObject* stack[] = {interval};
    return interop::unless_interpreter_ends_thread([&] {
        return steal_or_throw(PyObject_Vectorcall(function.ptr(), stack, 0, keywords));
    });
}

// Python's `first or second()`: the second operand is evaluated only when the first is false.
template <typename Second>
py::object python_or(py::object first, Second second) {
    if (truth(first.ptr())) return first;
    return second();
}

// `self.<figure> > self.<limit>`, as Python compares them.
py::object exceeds(PyObject* self, PyObject* figure, PyObject* limit) {
    py::object value = get_attr(self, figure);
    py::object bound = get_attr(self, limit);
    return steal_or_throw(PyObject_RichCompare(value.ptr(), bound.ptr(), Py_GT));
}

void append_piece(py::list& parts, const char* label, PyObject* self, PyObject* figure) {
    py::object formatted = interop::text_of(get_attr(self, figure).ptr(), ".1f");
    parts.append(steal_or_throw(PyUnicode_FromFormat("%s%U%%", label, formatted.ptr())));
}

// Built only when a transition is logged: formatting on every pass would be wasted work.
py::object status_text(PyObject* self) {
    py::list parts;
    append_piece(parts, "CPU=", self, names.cpu_usage);
    append_piece(parts, "Memory=", self, names.mem_usage);
    if (truth(get_attr(self, names.gpu_available).ptr())) {
        append_piece(parts, "GPU=", self, names.gpu_util);
        append_piece(parts, "GPU-Mem=", self, names.gpu_mem_util);
    }
    return interop::join("  ", parts);
}

void read_gpu(PyObject* self) {
    py::object pynvml = py::module_::import("pynvml");
    py::object util = call(pynvml.ptr(), names.nvml_device_get_utilization_rates,
                           get_attr(self, names.nvml_handle).ptr());
    py::object mem_info = call(pynvml.ptr(), names.nvml_device_get_memory_info,
                               get_attr(self, names.nvml_handle).ptr());
    py::object gpu = get_attr(util.ptr(), names.gpu);
    set_attr(self, names.gpu_util, steal_or_throw(PyNumber_Float(gpu.ptr())));
    py::object mem_util;
    py::int_ zero(0);
    py::object total = get_attr(mem_info.ptr(), names.total);
    if (truth(steal_or_throw(PyObject_RichCompare(total.ptr(), zero.ptr(), Py_GT)).ptr())) {
        py::object used = get_attr(mem_info.ptr(), names.used);
        py::object ratio = steal_or_throw(
            PyNumber_TrueDivide(used.ptr(), get_attr(mem_info.ptr(), names.total).ptr()));
        py::float_ hundred(100.0);
        mem_util = steal_or_throw(PyNumber_Multiply(ratio.ptr(), hundred.ptr()));
    } else {
        mem_util = py::float_(0.0);
    }
    set_attr(self, names.gpu_mem_util, mem_util);
}

// A failure here only costs this pass its fresh GPU figures; the old ones stay and still count.
void sample_gpu(PyObject* self) {
    interop::on_exception([self] { read_gpu(self); }, [](PyObject* failure) {
        interop::log(names.debug, "GPU sampling failed: %s", failure);
    });
}

void run_pass(PyObject* self, const py::object& psutil) {
    // psutil's measuring window is the pass's only pause.
    py::object cpu_percent = get_attr(psutil.ptr(), names.cpu_percent);
    py::object interval = get_attr(self, names.check_interval);
    set_attr(self, names.cpu_usage, call_with_interval(cpu_percent, interval.ptr()));
    py::object memory = call(psutil.ptr(), names.virtual_memory);
    set_attr(self, names.mem_usage, get_attr(memory.ptr(), names.percent));
    if (truth(get_attr(self, names.gpu_available).ptr()) &&
        get_attr(self, names.nvml_handle).ptr() != Py_None) {
        sample_gpu(self);
    }

    py::object was_overloaded = get_attr(self, names.overloaded);
    py::object cpu_mem_overloaded =
        python_or(exceeds(self, names.cpu_usage, names.threshold),
                  [self] { return exceeds(self, names.mem_usage, names.threshold); });
    py::object gpu_overloaded = py::bool_(false);
    if (truth(get_attr(self, names.gpu_available).ptr())) {
        gpu_overloaded =
            python_or(exceeds(self, names.gpu_util, names.gpu_threshold),
                      [self] { return exceeds(self, names.gpu_mem_util, names.gpu_threshold); });
    }
    set_attr(self, names.overloaded,
             python_or(cpu_mem_overloaded, [&gpu_overloaded] { return gpu_overloaded; }));

    if (truth(get_attr(self, names.overloaded).ptr()) && !truth(was_overloaded.ptr())) {
        py::object status = status_text(self);
        interop::log(names.warning, "System overloaded  %s  (threshold=%.0f%%)", status,
                     get_attr(self, names.threshold));
    } else if (!truth(get_attr(self, names.overloaded).ptr()) && truth(was_overloaded.ptr())) {
        interop::log(names.info, "Resources normalised  %s", status_text(self));
        set_attr(self, names.scope_wrapped, Py_False);
    }
}

py::object resource_loop(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    py::object psutil = py::module_::import("psutil");
    // The first reading of a measuring window starts psutil's counter; its value means nothing.
    call_with_interval(get_attr(psutil.ptr(), names.cpu_percent), Py_None);
    while (truth(get_attr(self, names.running).ptr())) {
        interop::on_exception([&] { run_pass(self, psutil); }, [self](PyObject* failure) {
            interop::log(names.error, "Resource sampling failed: %s", failure);
            // Without the pause a persistent failure would spin.
            call(interop::global(names.mod_time).ptr(), names.sleep,
                 get_attr(self, names.check_interval).ptr());
        });
    }
    return py::none();
}

}  // namespace

const interop::FunctionSpec resource_loop_spec =
    monitor_method("_resource_loop", {{"self"}}, "None", resource_loop);

}  // namespace overflow

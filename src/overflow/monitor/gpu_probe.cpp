// _OverflowMonitor._init_gpu: whether GPU device 0 can be watched through pynvml. A missing
// package, driver or device only turns GPU monitoring off; the user never sees an error.
#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/logging.h"
#include "interop/module_state.h"
#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::names;

void probe(PyObject* self) {
    py::object pynvml = py::module_::import("pynvml");
    interop::call_method(pynvml.ptr(), names.nvml_init);
    py::object device_count = interop::call_method(pynvml.ptr(), names.nvml_device_get_count);
    py::int_ zero(0);
    if (interop::truth(
            steal_or_throw(PyObject_RichCompare(device_count.ptr(), zero.ptr(), Py_EQ)).ptr())) {
        interop::log(names.info, "pynvml: no NVIDIA GPUs found — GPU monitoring disabled");
        return;
    }
    interop::set_attr(self, names.nvml_handle,
                      interop::call_method(pynvml.ptr(), names.nvml_device_get_handle_by_index,
                                           zero.ptr()));
    // From here on the GPU is in use, even if naming it fails: stop() must shut NVML down.
    interop::set_attr(self, names.gpu_available, Py_True);
    py::object name = interop::call_method(pynvml.ptr(), names.nvml_device_get_name,
                                           interop::get_attr(self, names.nvml_handle).ptr());
    if (require(PyObject_IsInstance(name.ptr(), reinterpret_cast<PyObject*>(&PyBytes_Type)))) {
        py::str encoding("utf-8");
        name = interop::call_method(name.ptr(), names.decode, encoding.ptr());
    }
    interop::log(names.info, "GPU monitoring active  device=%s  gpu_threshold=%.0f%%", name,
                 interop::get_attr(self, names.gpu_threshold));
}

py::object init_gpu(interop::NativeFunction&, interop::Arguments args) {
    interop::on_exception([&] { probe(args[0]); },
                          [](PyObject* failure) {
                              if (PyErr_GivenExceptionMatches(failure, PyExc_ImportError)) {
                                  interop::log(names.info,
                                               "pynvml not installed — GPU monitoring disabled");
                              } else {
                                  interop::log(names.info, "GPU monitoring unavailable: %s",
                                               failure);
                              }
                          });
    return py::none();
}

}  // namespace

const interop::FunctionSpec init_gpu_spec =
    monitor_method("_init_gpu", {{"self"}}, "None", init_gpu);

}  // namespace overflow

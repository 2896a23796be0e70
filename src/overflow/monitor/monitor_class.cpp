#include "monitor/monitor_class.h"

#include "monitor/methods.h"

namespace overflow {

py::object make_monitor_class(PyObject* module_name) {
    static const interop::FunctionSpec* const methods[] = {
        &monitor_init_spec,   &monitor_getstate_spec,    &monitor_setstate_spec,
        &start_spec,          &init_gpu_spec,            &stop_spec,
        &resource_loop_spec,  &profile_hook_spec,        &is_user_code_spec,
        &check_user_code_spec, &try_wrap_from_frame_spec, &wrap_scope_spec,
        &register_wrap_spec,  &make_wrapper_spec,        &start_pre_warm_spec,
        &get_vazovez_spec,    &cloud_execute_spec,       &unwrap_all_spec,
    };
    py::dict namespace_;
    namespace_["__module__"] = borrow(module_name);
    namespace_["__qualname__"] = py::str("_OverflowMonitor");
    for (const interop::FunctionSpec* method : methods) {
        namespace_[py::str(method->name)] = interop::make_function(*method, module_name);
    }
    return borrow(reinterpret_cast<PyObject*>(&PyType_Type))(
        "_OverflowMonitor", py::make_tuple(borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
        namespace_);
}

}  // namespace overflow

// The methods of _OverflowMonitor, in the order of the class body. Each is defined in the file of
// its subsystem; monitor_class.cpp assembles the class from them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "interop/native_function.h"

namespace overflow {

// A method of _OverflowMonitor: its qualified name follows from its name.
inline interop::FunctionSpec monitor_method(const std::string& name,
                                            std::vector<interop::Parameter> parameters,
                                            const char* return_annotation,
                                            interop::FixedImpl implementation,
                                            std::vector<interop::DefaultValue> defaults = {}) {
    return {.name = name,
            .qualname = "_OverflowMonitor." + name,
            .parameters = std::move(parameters),
            .defaults = std::move(defaults),
            .return_annotation = return_annotation,
            .fixed = implementation};
}

// monitor/construction.cpp
extern const interop::FunctionSpec monitor_init_spec;
extern const interop::FunctionSpec monitor_getstate_spec;
extern const interop::FunctionSpec monitor_setstate_spec;
// monitor/lifecycle.cpp
extern const interop::FunctionSpec start_spec;
// monitor/gpu_probe.cpp
extern const interop::FunctionSpec init_gpu_spec;
// monitor/lifecycle.cpp
extern const interop::FunctionSpec stop_spec;
// sampling/resource_loop.cpp
extern const interop::FunctionSpec resource_loop_spec;
// detection/profile_delivery.cpp
extern const interop::FunctionSpec profile_hook_spec;
// detection/user_code.cpp
extern const interop::FunctionSpec is_user_code_spec;
extern const interop::FunctionSpec check_user_code_spec;
// detection/wrap_registry.cpp
extern const interop::FunctionSpec try_wrap_from_frame_spec;
extern const interop::FunctionSpec wrap_scope_spec;
extern const interop::FunctionSpec register_wrap_spec;
// offload/wrapper.cpp
extern const interop::FunctionSpec make_wrapper_spec;
// offload/pre_warm.cpp
extern const interop::FunctionSpec start_pre_warm_spec;
// offload/cloud_client.cpp
extern const interop::FunctionSpec get_vazovez_spec;
extern const interop::FunctionSpec cloud_execute_spec;
// detection/wrap_registry.cpp
extern const interop::FunctionSpec unwrap_all_spec;

}  // namespace overflow

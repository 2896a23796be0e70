#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

py::object profile_hook(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _profile_hook");  // PLACEHOLDER
}

}  // namespace

const interop::FunctionSpec profile_hook_spec{
    .name = "_profile_hook",
    .qualname = "_OverflowMonitor._profile_hook",
    .parameters = {{"self"}, {"frame", "Any"}, {"event", "str"}, {"arg", "Any"}},
    .defaults = {},
    .return_annotation = "None",
    .fixed = profile_hook,
};

}  // namespace overflow

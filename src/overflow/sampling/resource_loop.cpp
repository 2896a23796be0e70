#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

py::object resource_loop(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _resource_loop");  // PLACEHOLDER
}

}  // namespace

const interop::FunctionSpec resource_loop_spec{
    .name = "_resource_loop",
    .qualname = "_OverflowMonitor._resource_loop",
    .parameters = {{"self"}},
    .defaults = {},
    .return_annotation = "None",
    .fixed = resource_loop,
};

}  // namespace overflow

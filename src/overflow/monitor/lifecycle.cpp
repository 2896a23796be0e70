#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

py::object start(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: start");  // PLACEHOLDER
}

py::object stop(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: stop");  // PLACEHOLDER
}

}  // namespace

const interop::FunctionSpec start_spec{
    .name = "start",
    .qualname = "_OverflowMonitor.start",
    .parameters = {{"self"}},
    .defaults = {},
    .return_annotation = "None",
    .fixed = start,
};

const interop::FunctionSpec stop_spec{
    .name = "stop",
    .qualname = "_OverflowMonitor.stop",
    .parameters = {{"self"}},
    .defaults = {},
    .return_annotation = "None",
    .fixed = stop,
};

}  // namespace overflow

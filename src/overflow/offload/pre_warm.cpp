#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

py::object start_pre_warm(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _start_pre_warm");  // PLACEHOLDER
}

}  // namespace

const interop::FunctionSpec start_pre_warm_spec{
    .name = "_start_pre_warm",
    .qualname = "_OverflowMonitor._start_pre_warm",
    .parameters = {{"self"}, {"source_file", "Optional[str]"}},
    .defaults = {interop::DefaultValue::none()},
    .return_annotation = "None",
    .fixed = start_pre_warm,
};

}  // namespace overflow

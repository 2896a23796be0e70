#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

py::object get_vazovez(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _get_vazovez");  // PLACEHOLDER
}

py::object cloud_execute(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _cloud_execute");  // PLACEHOLDER
}

}  // namespace

const interop::FunctionSpec get_vazovez_spec{
    .name = "_get_vazovez",
    .qualname = "_OverflowMonitor._get_vazovez",
    .parameters = {{"self"}},
    .defaults = {},
    .return_annotation = "Any",
    .fixed = get_vazovez,
};

const interop::FunctionSpec cloud_execute_spec{
    .name = "_cloud_execute",
    .qualname = "_OverflowMonitor._cloud_execute",
    .parameters = {{"self"}, {"func", "Callable[..., Any]"}, {"args", "tuple[Any, ...]"}, {"kwargs", "dict[str, Any]"}},
    .defaults = {},
    .return_annotation = "Any",
    .fixed = cloud_execute,
};

}  // namespace overflow

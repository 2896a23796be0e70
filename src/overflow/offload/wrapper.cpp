#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

py::object make_wrapper(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _make_wrapper");  // PLACEHOLDER
}

}  // namespace

const interop::FunctionSpec make_wrapper_spec{
    .name = "_make_wrapper",
    .qualname = "_OverflowMonitor._make_wrapper",
    .parameters = {{"self"}, {"original", "Callable[..., Any]"}},
    .defaults = {},
    .return_annotation = "Callable[..., Any]",
    .fixed = make_wrapper,
};

}  // namespace overflow

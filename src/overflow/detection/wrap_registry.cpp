#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

py::object try_wrap_from_frame(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _try_wrap_from_frame");  // PLACEHOLDER
}

py::object wrap_scope(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _wrap_scope");  // PLACEHOLDER
}

py::object register_wrap(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _register_wrap");  // PLACEHOLDER
}

py::object unwrap_all(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _unwrap_all");  // PLACEHOLDER
}

}  // namespace

const interop::FunctionSpec try_wrap_from_frame_spec{
    .name = "_try_wrap_from_frame",
    .qualname = "_OverflowMonitor._try_wrap_from_frame",
    .parameters = {{"self"}, {"frame", "Any"}},
    .defaults = {},
    .return_annotation = "None",
    .fixed = try_wrap_from_frame,
};

const interop::FunctionSpec wrap_scope_spec{
    .name = "_wrap_scope",
    .qualname = "_OverflowMonitor._wrap_scope",
    .parameters = {{"self"}, {"frame", "Any"}},
    .defaults = {},
    .return_annotation = "None",
    .fixed = wrap_scope,
};

const interop::FunctionSpec register_wrap_spec{
    .name = "_register_wrap",
    .qualname = "_OverflowMonitor._register_wrap",
    .parameters = {{"self"}, {"func_obj", "Callable[..., Any]"}, {"func_name", "str"}, {"namespace", "dict[str, Any]"}},
    .defaults = {},
    .return_annotation = "None",
    .fixed = register_wrap,
};

const interop::FunctionSpec unwrap_all_spec{
    .name = "_unwrap_all",
    .qualname = "_OverflowMonitor._unwrap_all",
    .parameters = {{"self"}},
    .defaults = {},
    .return_annotation = "None",
    .fixed = unwrap_all,
};

}  // namespace overflow

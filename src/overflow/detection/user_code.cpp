#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

py::object is_user_code(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _is_user_code");  // PLACEHOLDER
}

py::object check_user_code(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _check_user_code");  // PLACEHOLDER
}

}  // namespace

const interop::FunctionSpec is_user_code_spec{
    .name = "_is_user_code",
    .qualname = "_OverflowMonitor._is_user_code",
    .parameters = {{"self"}, {"filename", "str"}},
    .defaults = {},
    .return_annotation = "bool",
    .fixed = is_user_code,
};

const interop::FunctionSpec check_user_code_spec{
    .name = "_check_user_code",
    .qualname = "_OverflowMonitor._check_user_code",
    .parameters = {{"self"}, {"filename", "str"}},
    .defaults = {},
    .return_annotation = "bool",
    .fixed = check_user_code,
};

}  // namespace overflow

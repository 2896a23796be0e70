#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

py::object init_gpu(interop::NativeFunction&, interop::Arguments) {
    throw py::type_error("not built yet: _init_gpu");  // PLACEHOLDER
}

}  // namespace

const interop::FunctionSpec init_gpu_spec{
    .name = "_init_gpu",
    .qualname = "_OverflowMonitor._init_gpu",
    .parameters = {{"self"}},
    .defaults = {},
    .return_annotation = "None",
    .fixed = init_gpu,
};

}  // namespace overflow

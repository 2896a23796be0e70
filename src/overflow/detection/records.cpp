// _WrapRecord: what the wrap registry keeps about one replaced function.
#include "detection/records.h"

#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/native_function.h"

namespace overflow {

namespace {

py::object wrap_record_init(interop::NativeFunction&, interop::Arguments args) {
    interop::require_exact(args[2], &PyUnicode_Type, "name");
    interop::require_exact(args[3], &PyDict_Type, "namespace");
    static const char* const fields[] = {"original", "name", "namespace", "wrapper"};
    for (int i = 0; i < 4; ++i) {
        require(PyObject_SetAttrString(args[0], fields[i], args[i + 1]));
    }
    return py::none();
}

const interop::FunctionSpec wrap_record_init_spec{
    .name = "__init__",
    .qualname = "_WrapRecord.__init__",
    .parameters = {{"self"},
                   {"original", "Callable[..., Any]"},
                   {"name", "str"},
                   {"namespace", "dict[str, Any]"},
                   {"wrapper", "Callable[..., Any]"}},
    .return_annotation = "None",
    .fixed = wrap_record_init,
};

}  // namespace

py::object make_wrap_record_class(PyObject* module_name) {
    py::dict namespace_;
    namespace_["__module__"] = borrow(module_name);
    namespace_["__qualname__"] = py::str("_WrapRecord");
    namespace_["__slots__"] = py::make_tuple("original", "name", "namespace", "wrapper");
    namespace_["__init__"] = interop::make_function(wrap_record_init_spec, module_name);
    return borrow(reinterpret_cast<PyObject*>(&PyType_Type))(
        "_WrapRecord", py::make_tuple(borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
        namespace_);
}

}  // namespace overflow

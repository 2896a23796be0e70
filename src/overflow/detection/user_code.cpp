#include "detection/user_code.h"

#include "detection/lookups.h"
#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/module_state.h"
#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::names;

py::object is_user_code_method(interop::NativeFunction&, interop::Arguments args) {
    return is_user_code(args[0], args[1]);
}

py::object check_user_code_method(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    PyObject* filename = args[1];
    interop::require_exact(filename, &PyUnicode_Type, "filename");
    // Pseudo-filenames: code compiled from strings, typed interactively or frozen.
    if (PyUnicode_GET_LENGTH(filename) == 0 || PyUnicode_READ_CHAR(filename, 0) == '<') {
        return py::bool_(false);
    }
    py::object os_path = interop::get_attr(interop::global(names.mod_os).ptr(), names.path);
    py::object abs_path = interop::call_method(os_path.ptr(), names.abspath, filename);
    py::object prefixes = interop::get_attr(self, names.exclude_prefixes);
    // A plain string-prefix test: no separator boundary, as the prefixes define it.
    for (py::handle prefix : prefixes) {
        py::object starts = interop::call_method(abs_path.ptr(), names.startswith, prefix.ptr());
        if (interop::truth(starts.ptr())) return py::bool_(false);
    }
    return py::bool_(true);
}

}  // namespace

py::object is_user_code(PyObject* self, PyObject* filename) {
    interop::require_exact(filename, &PyUnicode_Type, "filename");
    py::object cache = interop::get_attr(self, names.filename_cache);
    py::object cached = detection::mapping_get(cache.ptr(), filename);
    if (!cached.is_none()) return cached;
    py::object result = interop::call_method(self, names.check_user_code, filename);
    // Read again, as `self._filename_cache[filename] = result` does.
    cache = interop::get_attr(self, names.filename_cache);
    require(PyObject_SetItem(cache.ptr(), filename, result.ptr()));
    return result;
}

const interop::FunctionSpec is_user_code_spec =
    monitor_method("_is_user_code", {{"self"}, {"filename", "str"}}, "bool", is_user_code_method);

const interop::FunctionSpec check_user_code_spec =
    monitor_method("_check_user_code", {{"self"}, {"filename", "str"}}, "bool",
                   check_user_code_method);

}  // namespace overflow

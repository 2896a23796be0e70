// _compute_exclude_prefixes: the directories whose code the user-code classification never
// counts as the user's.
#include "detection/library_paths.h"

#include "interop/arguments.h"
#include "interop/errors.h"
#include "interop/module_state.h"

namespace overflow {

namespace {

using interop::names;

py::object compute_exclude_prefixes(interop::NativeFunction&, interop::Arguments) {
    py::module_ sysconfig = py::module_::import("sysconfig");
    py::set paths;
    py::object abspath = interop::global(names.mod_os).attr("path").attr("abspath");
    for (const char* key : {"stdlib", "platstdlib", "purelib", "platlib"}) {
        py::object value = sysconfig.attr("get_paths")().attr("get")(key, "");
        if (interop::truth(value.ptr())) paths.add(abspath(value));
    }
    interop::swallow_ordinary_exceptions([&] {
        py::module_ site = py::module_::import("site");
        for (py::handle entry : site.attr("getsitepackages")()) paths.add(abspath(entry));
        py::object user_site = site.attr("getusersitepackages")();
        if (PyUnicode_Check(user_site.ptr())) paths.add(abspath(user_site));
    });
    // abspath and dirname looked up again: `os` is late-bound like every module global.
    py::object os_path = interop::global(names.mod_os).attr("path");
    py::object own_file = interop::global(names.dunder_file);
    paths.add(os_path.attr("dirname")(os_path.attr("abspath")(own_file)));
    py::object builtins = py::module_::import("builtins");
    py::list ordered = builtins.attr("sorted")(paths, py::arg("key") = builtins.attr("len"),
                                               py::arg("reverse") = true);
    return py::tuple(ordered);
}

}  // namespace

const interop::FunctionSpec compute_exclude_prefixes_spec{
    .name = "_compute_exclude_prefixes",
    .qualname = "_compute_exclude_prefixes",
    .return_annotation = "Tuple[str, ...]",
    .fixed = compute_exclude_prefixes,
};

}  // namespace overflow

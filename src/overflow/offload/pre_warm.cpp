// Sends the calling script's source ahead to the service so that it can prepare a session before
// the first offloaded call. Reads the file on the caller's thread, posts from a daemon thread, and
// stays silent on every failure: offloading works the same without a warm session.
#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/context_manager.h"
#include "interop/errors.h"
#include "interop/module_state.h"
#include "interop/text.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::names;

constexpr double request_timeout_seconds = 10.0;

py::object read_source(PyObject* source_file) {
    py::object source_code = py::none();
    interop::swallow_ordinary_exceptions([&] {
        py::object open = interop::global_or_builtin(names.builtin_open);
        py::object file = open(borrow(source_file), "r", py::arg("encoding") = "utf-8");
        interop::with_context(file.ptr(), [&](const py::object& handle) {
            source_code = interop::call_method(handle.ptr(), names.read);
        });
    });
    return source_code;
}

void post_source(PyObject* self, PyObject* source_code) {
    py::object httpx = steal_or_throw(PyImport_ImportModuleLevelObject(
        names.mod_httpx, interop::module_dict(), nullptr, nullptr, 0));
    py::object api_url = interop::get_attr(self, names.api_url);
    py::object base =
        interop::truth(api_url.ptr()) ? api_url : interop::global(names.default_api_url);
    py::object api_key = interop::get_attr(self, names.api_key);
    if (!interop::truth(api_key.ptr())) return;

    py::object url = interop::concat(interop::text_of(base.ptr()), py::str("/v1/pre-warm"));
    py::dict body;
    body[names.source_code] = borrow(source_code);
    body[names.fast] = interop::get_attr(self, names.fast);
    py::dict headers;
    headers["Authorization"] =
        interop::concat(py::str("Bearer "), interop::text_of(api_key.ptr()));
    py::object post = interop::get_attr(httpx.ptr(), names.post);
    py::tuple post_args = py::make_tuple(url);
    py::dict post_kwargs;
    post_kwargs["json"] = body;
    post_kwargs["headers"] = headers;
    post_kwargs["timeout"] = request_timeout_seconds;
    // The request thread is a daemon: the interpreter may end it at exit while it waits.
    py::object response = interop::unless_interpreter_ends_thread([&] {
        return steal_or_throw(PyObject_Call(post.ptr(), post_args.ptr(), post_kwargs.ptr()));
    });

    py::object status = interop::get_attr(response.ptr(), names.status_code);
    py::int_ ok(200);
    py::object is_ok = steal_or_throw(PyObject_RichCompare(status.ptr(), ok.ptr(), Py_EQ));
    if (!interop::truth(is_ok.ptr())) return;
    py::object answer = interop::unless_interpreter_ends_thread(
        [&] { return interop::call_method(response.ptr(), names.json); });
    interop::set_attr(self, names.warm_result, answer);
}

py::object do_warm(interop::NativeFunction& function, interop::Arguments) {
    PyObject* self = interop::closure_item(function, 0);
    PyObject* source_code = interop::closure_item(function, 1);
    interop::swallow_ordinary_exceptions([&] { post_source(self, source_code); });
    return py::none();
}

const interop::FunctionSpec do_warm_spec{
    .name = "_do_warm",
    .qualname = "_OverflowMonitor._start_pre_warm.<locals>._do_warm",
    .return_annotation = "None",
    .fixed = do_warm,
};

py::object start_pre_warm(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    PyObject* source_file = args[1];
    interop::require_exact(source_file, &PyUnicode_Type, "source_file", true);

    py::object source_code = py::none();
    if (interop::truth(source_file)) source_code = read_source(source_file);

    py::object module_name = interop::global(names.dunder_name);
    py::object target = interop::make_function(do_warm_spec, module_name.ptr(),
                                               py::make_tuple(borrow(self), source_code));
    py::object threading = interop::global(names.mod_threading);
    py::object thread_class = interop::get_attr(threading.ptr(), names.thread_class);
    py::object thread = thread_class(py::arg("target") = target, py::arg("daemon") = true);
    interop::call_method(thread.ptr(), names.start);
    return py::none();
}

}  // namespace

const interop::FunctionSpec start_pre_warm_spec =
    monitor_method("_start_pre_warm", {{"self"}, {"source_file", "Optional[str]"}}, "None",
                   start_pre_warm, {interop::DefaultValue::none()});

}  // namespace overflow

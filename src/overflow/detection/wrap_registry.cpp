#include <utility>

#include "detection/lookups.h"
#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/held_locks.h"
#include "interop/logging.h"
#include "interop/module_state.h"
#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::names;

// `with self._lock: body()`. Returns false, without running the body, when this thread holds
// the lock already: the registry was re-entered from code run while it changes (a `__del__` that
// a garbage collection runs, seen by the profile hook), and waiting would never end.
template <typename Body>
bool with_lock_unless_reentered(PyObject* self, Body&& body) {
    py::object lock = interop::get_attr(self, names.lock);
    return interop::with_lock_unless_held(lock.ptr(), std::forward<Body>(body));
}

// `name, obj = item`, with Python's unpacking errors.
std::pair<py::object, py::object> unpack_pair(PyObject* item) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        return {borrow(PyTuple_GET_ITEM(item, 0)), borrow(PyTuple_GET_ITEM(item, 1))};
    }
    PyObject* raw_iterator = PyObject_GetIter(item);
    if (raw_iterator == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iterator = py::reinterpret_steal<py::object>(raw_iterator);
    py::object values[3];
    int count = 0;
    for (; count < 3; ++count) {
        PyObject* value = PyIter_Next(iterator.ptr());
        if (value == nullptr) break;
        values[count] = py::reinterpret_steal<py::object>(value);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    if (count < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", count);
        throw py::error_already_set();
    }
    if (count > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    return {values[0], values[1]};
}

// The candidate bound under the function's name in a calling frame's globals is the function
// running in the frame, and not a wrapper already.
bool is_frame_function(PyObject* obj, PyObject* code_obj) {
    if (obj == Py_None || !PyCallable_Check(obj)) return false;
    if (detection::carries_wrapper_marker(obj)) return false;
    py::object code = interop::get_optional_attr(obj, names.code);
    return code && code.ptr() == code_obj;
}

// `name.startswith("_")`
bool starts_with_underscore(PyObject* name) {
    if (PyUnicode_CheckExact(name)) {
        return PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '_';
    }
    py::object starts = interop::call_method(name, names.startswith, py::str("_").ptr());
    return interop::truth(starts.ptr());
}

// A public callable of user code that is not a wrapper already.
bool is_scope_candidate(PyObject* self, PyObject* name, PyObject* obj) {
    if (!PyCallable_Check(obj)) return false;
    py::object code = interop::get_optional_attr(obj, names.code);
    if (!code) return false;
    if (detection::carries_wrapper_marker(obj)) return false;
    if (starts_with_underscore(name)) return false;
    py::object filename = interop::get_attr(code.ptr(), names.co_filename);
    py::object user_code = interop::call_method(self, names.is_user_code, filename.ptr());
    return interop::truth(user_code.ptr());
}

py::object try_wrap_from_frame(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    PyObject* frame = args[1];
    py::object code_obj = interop::get_attr(frame, names.f_code);
    py::object func_name = interop::get_attr(code_obj.ptr(), names.co_name);
    py::object search = interop::get_attr(frame, names.f_back);
    while (!search.is_none()) {
        py::object globals = interop::get_attr(search.ptr(), names.f_globals);
        py::object obj = detection::mapping_get(globals.ptr(), func_name.ptr());
        if (is_frame_function(obj.ptr(), code_obj.ptr())) {
            interop::call_method(self, names.register_wrap, obj.ptr(), func_name.ptr(),
                                 globals.ptr());
            return py::none();
        }
        search = interop::get_attr(search.ptr(), names.f_back);
    }
    return py::none();
}

py::object wrap_scope(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    PyObject* frame = args[1];
    if (frame == Py_None) return py::none();
    py::object ns = interop::get_attr(frame, names.f_globals);
    // A snapshot: the loop's own rebindings must not disturb it.
    py::object snapshot =
        PyDict_CheckExact(ns.ptr())
            ? steal_or_throw(PyDict_Items(ns.ptr()))
            : steal_or_throw(PySequence_List(interop::call_method(ns.ptr(), names.items).ptr()));
    for (py::handle item : snapshot) {
        auto [name, obj] = unpack_pair(item.ptr());
        if (is_scope_candidate(self, name.ptr(), obj.ptr())) {
            interop::call_method(self, names.register_wrap, obj.ptr(), name.ptr(), ns.ptr());
        }
    }
    return py::none();
}

py::object register_wrap(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    PyObject* func_obj = args[1];
    PyObject* func_name = args[2];
    PyObject* ns = args[3];
    interop::require_exact(func_name, &PyUnicode_Type, "func_name");
    interop::require_exact(ns, &PyDict_Type, "namespace");
    // Re-entered: left unwrapped for now; the profile hook finds the function again later.
    with_lock_unless_reentered(self, [&] {
        py::object fid = steal_or_throw(PyLong_FromVoidPtr(func_obj));
        py::object wrapped = interop::get_attr(self, names.wrapped_functions);
        if (require(PySequence_Contains(wrapped.ptr(), fid.ptr()))) return;
        py::object wrapper = interop::call_method(self, names.make_wrapper, func_obj);
        require(PyDict_SetItem(ns, func_name, wrapper.ptr()));
        PyObject* fields[] = {func_obj, func_name, ns, wrapper.ptr()};
        py::tuple keywords = py::make_tuple(borrow(names.kw_original), borrow(names.key_name),
                                            borrow(names.kw_namespace), borrow(names.kw_wrapper));
        py::object record = steal_or_throw(PyObject_Vectorcall(
            interop::global(names.wrap_record).ptr(), fields, 0, keywords.ptr()));
        wrapped = interop::get_attr(self, names.wrapped_functions);
        require(PyObject_SetItem(wrapped.ptr(), fid.ptr(), record.ptr()));
    });
    return py::none();
}

// `record.namespace[record.name] = record.original`
void restore_binding(PyObject* record) {
    py::object original = interop::get_attr(record, names.kw_original);
    py::object ns = interop::get_attr(record, names.kw_namespace);
    py::object name = interop::get_attr(record, names.key_name);
    require(PyObject_SetItem(ns.ptr(), name.ptr(), original.ptr()));
}

py::object unwrap_all(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    bool done = with_lock_unless_reentered(self, [&] {
        py::object wrapped = interop::get_attr(self, names.wrapped_functions);
        for (py::handle record : interop::call_method(wrapped.ptr(), names.values)) {
            interop::on_exception([&] { restore_binding(record.ptr()); },
                                  [&](PyObject* failure) {
                                      py::object name = interop::get_attr(record.ptr(),
                                                                          names.key_name);
                                      interop::log(names.error, "Failed to unwrap %s: %s", name,
                                                   failure);
                                  });
        }
        interop::call_method(interop::get_attr(self, names.wrapped_functions).ptr(), names.clear);
        interop::call_method(interop::get_attr(self, names.heavy_signatures).ptr(), names.clear);
        interop::set_attr(self, names.scope_wrapped, Py_False);
    });
    if (!done) {
        PyErr_SetString(PyExc_RuntimeError,
                        "cannot unwrap while this thread is changing the wrapped functions");
        throw py::error_already_set();
    }
    return py::none();
}

}  // namespace

const interop::FunctionSpec try_wrap_from_frame_spec =
    monitor_method("_try_wrap_from_frame", {{"self"}, {"frame", "Any"}}, "None",
                   try_wrap_from_frame);

const interop::FunctionSpec wrap_scope_spec =
    monitor_method("_wrap_scope", {{"self"}, {"frame", "Any"}}, "None", wrap_scope);

const interop::FunctionSpec register_wrap_spec = monitor_method(
    "_register_wrap",
    {{"self"}, {"func_obj", "Callable[..., Any]"}, {"func_name", "str"},
     {"namespace", "dict[str, Any]"}},
    "None", register_wrap);

const interop::FunctionSpec unwrap_all_spec =
    monitor_method("_unwrap_all", {{"self"}}, "None", unwrap_all);

}  // namespace overflow

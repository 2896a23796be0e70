// The wrapper that stands in for a heavy function: at every call it either runs the original
// locally or, while the monitor reports overload, offloads the call through _cloud_execute and
// falls back to the original when the cloud fails.
//
// The local path is every call of a wrapped function while the machine is fine, so it passes the
// caller's vectorcall arguments straight through. It still reads `monitor._overloaded` honestly:
// once the flag was seen False in the instance dict, a stamp of the monitor's type and dict
// versions proves on later calls that nothing was written to the monitor since.
#include <memory>
#include <utility>

#include "interop/arguments.h"
#include "interop/attribute_stamp.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/logging.h"
#include "interop/module_state.h"
#include "interop/text.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::join;
using interop::log;
using interop::names;
using interop::text_of;

// Closure layout of a wrapper: the monitor and the original, as Python code would close over
// them, plus the wrapper's private cache.
enum ClosureSlot : Py_ssize_t { monitor_slot, original_slot, cache_slot };

struct WrapperCache {
    // Valid while the monitor still holds the False it held when recorded.
    interop::AttributeStamp not_overloaded;
};

// The capsule is private to the closure, so it goes without a name: checking one would cost a
// string comparison on every call.
void delete_cache(PyObject* capsule) {
    delete static_cast<WrapperCache*>(PyCapsule_GetPointer(capsule, nullptr));
}

py::object new_cache() {
    auto cache = std::make_unique<WrapperCache>();
    py::object capsule = steal_or_throw(PyCapsule_New(cache.get(), nullptr, delete_cache));
    cache.release();
    return capsule;
}

WrapperCache& cache_of(PyObject* closure) {
    return *static_cast<WrapperCache*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(closure, cache_slot), nullptr));
}

bool is_overloaded(Borrowed monitor, WrapperCache& cache) {
    cache.not_overloaded.reset();
    // A class with its own __getattribute__ or __getattr__ may answer other than the instance dict.
    if (Py_TYPE(monitor)->tp_getattro == PyObject_GenericGetAttr) {
        Borrowed plain = interop::plain_instance_attribute(monitor, names.overloaded);
        if (plain == Py_False) {
            cache.not_overloaded.record(monitor);
            return false;
        }
        if (plain != nullptr) return interop::truth(plain.owned().ptr());
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return interop::truth(interop::get_attr(monitor, names.overloaded).ptr());
}

// `original(*args, **kwargs)`: a new reference, or nullptr with the error set. A wrapper of a
// wrapper calls through C alone, where the interpreter counts no depth: such calls are counted
// here, so that a deep chain raises RecursionError instead of overflowing the stack.
PyObject* vectorcall_original(Borrowed original, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    if (!Py_IS_TYPE(original, &interop::NativeFunctionType)) {
        return PyObject_Vectorcall(original, args, nargsf, kwnames);
    }
    if (Py_EnterRecursiveCall(" while calling a wrapped function")) return nullptr;
    PyObject* result = PyObject_Vectorcall(original, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

py::object call_original(Borrowed original, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) {
    return steal_or_throw(vectorcall_original(original, args, nargsf, kwnames));
}

// Calls made while an offload holds its arguments, its status text or the cloud failure: the
// caller may be a daemon thread that the interpreter ends at exit inside the call.
template <typename Call>
decltype(auto) guarded(Call&& call) {
    return interop::unless_interpreter_ends_thread(std::forward<Call>(call));
}

class Offload {
public:
    // Both are held by the wrapper's closure for the whole call.
    Offload(Borrowed monitor, Borrowed original) : monitor_(monitor), original_(original) {}

    py::object run(PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        py::object call_args = steal_or_throw(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            PyTuple_SET_ITEM(call_args.ptr(), i, Py_NewRef(args[i]));
        }
        py::dict call_kwargs;
        Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            require(PyDict_SetItem(call_kwargs.ptr(), keyword, args[nargs + k]));
        }

        py::object reason = status_summary();
        log(names.info, "Offloading %s() to cloud  (%s)", name(), reason);
        if (verbose()) {
            print();
            print(join("", list("  \u2191 Overflow \u2192 Cloud: ", name_text(), "()")));
            print(join("", list("    Reason: ", reason)));
            print();
        }

        return interop::on_exception(
            [&] {
                py::object result = guarded([&] {
                    return interop::call_method(monitor_, names.cloud_execute, original_,
                                                call_args.ptr(), call_kwargs.ptr());
                });
                log(names.info, "%s() completed in cloud \u2014 returning result to local",
                    name());
                if (verbose()) {
                    print(join("", list("  \u2713 ", name_text(), "() completed in cloud")));
                    print();
                }
                return result;
            },
            [&](PyObject* failure) {
                log(names.warning,
                    "Cloud offload of %s() failed (%s) \u2014 falling back to local", name(),
                    failure);
                if (verbose()) {
                    print(join("", list("  \u26a0 Cloud failed \u2014 running ", name_text(),
                                        "() locally")));
                }
                return guarded([&] { return call_original(original_, args, nargsf, kwnames); });
            });
    }

private:
    template <typename... Items>
    static py::list list(const Items&... items) {
        py::list parts;
        (parts.append(items), ...);
        return parts;
    }

    py::object attribute(PyObject* name) const { return interop::get_attr(monitor_, name); }

    py::object name() const { return interop::get_attr(original_, names.dunder_name); }
    py::object name_text() const { return text_of(name().ptr()); }
    bool verbose() const { return interop::truth(attribute(names.verbose).ptr()); }

    py::object figure(const char* label, PyObject* attribute_name) const {
        return join("", list(label, text_of(attribute(attribute_name).ptr(), ".0f"), "%"));
    }

    // The short resource summary of an offload: whole percents, GPU figures only with a GPU.
    py::object status_summary() const {
        py::list parts = list(figure("CPU=", names.cpu_usage), figure("Mem=", names.mem_usage));
        if (interop::truth(attribute(names.gpu_available).ptr())) {
            parts.append(figure("GPU=", names.gpu_util));
            parts.append(figure("GPU-Mem=", names.gpu_mem_util));
        }
        return join("  ", parts);
    }

    static void print() {
        py::object print_function = interop::global_or_builtin(names.builtin_print);
        guarded([&] { return steal_or_throw(PyObject_CallNoArgs(print_function.ptr())); });
    }

    static void print(const py::object& line) {
        py::object print_function = interop::global_or_builtin(names.builtin_print);
        guarded([&] {
            return steal_or_throw(PyObject_CallOneArg(print_function.ptr(), line.ptr()));
        });
    }

    Borrowed monitor_;
    Borrowed original_;
};

PyObject* overflow_wrapper(interop::NativeFunction& function, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    PyObject* closure = function.closure;
    if (closure != nullptr &&
        cache_of(closure).not_overloaded.matches(PyTuple_GET_ITEM(closure, monitor_slot))) {
        return vectorcall_original(PyTuple_GET_ITEM(closure, original_slot), args, nargsf,
                                   kwnames);
    }
    try {
        Borrowed monitor = interop::closure_item(function, monitor_slot);
        Borrowed original = interop::closure_item(function, original_slot);
        if (!is_overloaded(monitor, cache_of(closure)) ||
            interop::truth(interop::get_attr(monitor, names.vazovez_failed).ptr())) {
            return call_original(original, args, nargsf, kwnames).release().ptr();
        }
        return Offload(monitor, original).run(args, nargsf, kwnames).release().ptr();
    } catch (...) {
        interop::restore_python_error();
        return nullptr;
    }
}

const interop::FunctionSpec overflow_wrapper_spec{
    .name = "_overflow_wrapper",
    .qualname = "_OverflowMonitor._make_wrapper.<locals>._overflow_wrapper",
    .return_annotation = "Any",
    .variadic = overflow_wrapper,
};

py::object make_wrapper(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    PyObject* original = args[1];
    py::object wrapper = interop::make_function(
        overflow_wrapper_spec, interop::global(names.dunder_name).ptr(),
        py::make_tuple(borrow(self), borrow(original), new_cache()));
    py::object functools = interop::global(names.mod_functools);
    py::object wraps = interop::get_attr(functools.ptr(), names.wraps)(borrow(original));
    py::object wrapped = wraps(wrapper);
    interop::set_attr(wrapped.ptr(), names.overflow_wrapped, Py_True);
    interop::set_attr(wrapped.ptr(), names.original, original);
    return wrapped;
}

}  // namespace

const interop::FunctionSpec make_wrapper_spec =
    monitor_method("_make_wrapper", {{"self"}, {"original", "Callable[..., Any]"}},
                   "Callable[..., Any]", make_wrapper);

}  // namespace overflow

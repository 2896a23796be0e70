// The wrapper that stands in for a heavy function: at every call it either runs the original
// locally or, while the monitor reports overload and its offload policy finds that sending pays,
// offloads the call through _cloud_execute and falls back to the original when the cloud fails.
//
// The local path is every call of a wrapped function while the machine is fine, so it passes the
// caller's vectorcall arguments straight through. It still reads `monitor._overloaded` honestly:
// once the flag was seen False in the instance dict, a stamp of the monitor's type and dict
// versions proves on later calls that nothing was written to the monitor since.
#include "offload/wrapper.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
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

using Clock = std::chrono::steady_clock;
using interop::join;
using interop::log;
using interop::names;
using interop::text_of;

// Closure layout of a wrapper: the monitor and the original, as Python code would close over
// them, plus the wrapper's private cache.
enum ClosureSlot : Py_ssize_t { monitor_slot, original_slot, cache_slot };

struct WrapperCache {
    explicit WrapperCache(offload::OffloadMode mode) : policy(mode) {}

    // Valid while the monitor still holds the False it held when recorded.
    interop::AttributeStamp not_overloaded;
    offload::OffloadPolicy policy;
    // The code of the original when one of its calls met a failure that the next call would
    // meet again (None for a callable without code): while it stays, calls run here, silently.
    py::object failing_code;
};

// The capsule is private to the closure, so it goes without a name: checking one would cost a
// string comparison on every call.
void delete_cache(PyObject* capsule) {
    delete static_cast<WrapperCache*>(PyCapsule_GetPointer(capsule, nullptr));
}

py::object new_cache(offload::OffloadMode mode) {
    auto cache = std::make_unique<WrapperCache>(mode);
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

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A call kept here while overloaded is timed: its run time under the current load is what
// sending it would have to beat.
PyObject* timed_call_original(offload::OffloadPolicy& policy, Borrowed original,
                              PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Clock::time_point started = Clock::now();
    PyObject* result = vectorcall_original(original, args, nargsf, kwnames);
    if (result != nullptr) policy.ran_locally(seconds_since(started));
    return result;
}

PyObject* overflow_wrapper(interop::NativeFunction& function, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames);

const interop::FunctionSpec overflow_wrapper_spec{
    .name = "_overflow_wrapper",
    .qualname = "_OverflowMonitor._make_wrapper.<locals>._overflow_wrapper",
    .return_annotation = "Any",
    .variadic = overflow_wrapper,
};

// The closure of a wrapper this module made, or nullptr.
PyObject* wrapper_closure(PyObject* object) {
    if (!interop::is_native_function(object, overflow_wrapper_spec)) return nullptr;
    return reinterpret_cast<interop::NativeFunction*>(object)->closure;
}

// The code that calls of `original` run, through wrappers of wrappers; None for a callable
// without code, or one whose `__code__` cannot be read.
py::object code_of(Borrowed original) {
    while (PyObject* closure = wrapper_closure(original)) {
        original = PyTuple_GET_ITEM(closure, original_slot);
    }
    if (PyFunction_Check(original)) return borrow(PyFunction_GET_CODE(original.ptr()));
    py::object code;
    interop::swallow_ordinary_exceptions(
        [&] { code = interop::get_optional_attr(original, names.code); });
    return code ? code : py::none();
}

// A generator, a coroutine or an async generator: the call returns at once and the work happens
// later, in the caller, so the result can never come back from the service.
bool makes_lazy_result(PyObject* code) {
    constexpr int lazy = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE;
    return PyCode_Check(code) && (reinterpret_cast<PyCodeObject*>(code)->co_flags & lazy) != 0;
}

// Calls made while an offload holds its arguments, its status text or the cloud failure: the
// caller may be a daemon thread that the interpreter ends at exit inside the call.
template <typename Call>
decltype(auto) guarded(Call&& call) {
    return interop::unless_interpreter_ends_thread(std::forward<Call>(call));
}

class Offload {
public:
    // The monitor, the original and the cache are held by the wrapper's closure for the whole
    // call.
    Offload(Borrowed monitor, Borrowed original, WrapperCache& cache, py::object code)
        : monitor_(monitor), original_(original), cache_(cache), code_(std::move(code)) {}

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
                Clock::time_point started = Clock::now();
                py::object result = guarded([&] {
                    return interop::call_method(monitor_, names.cloud_execute, original_,
                                                call_args.ptr(), call_kwargs.ptr());
                });
                record_remote_run(seconds_since(started));
                log(names.info, "%s() completed in cloud \u2014 returning result to local",
                    name());
                if (verbose()) {
                    print(join("", list("  \u2713 ", name_text(), "() completed in cloud")));
                    print();
                }
                return result;
            },
            [&](PyObject* failure) {
                learn_from(failure);
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
    // The client's own figures for the call this thread just made, when it keeps them: its
    // round trip without the client's creation, and the time the service spent on the call.
    void record_remote_run(double measured) {
        double round_trip = measured;
        double service = 0.0;
        interop::swallow_ordinary_exceptions([&] {
            py::object client = attribute(names.vazovez);
            py::object call_times = interop::get_optional_attr(client.ptr(), names.call_times);
            if (!call_times) return;
            py::object times = guarded(
                [&] { return steal_or_throw(PyObject_CallNoArgs(call_times.ptr())); });
            if (PyTuple_CheckExact(times.ptr()) && PyTuple_GET_SIZE(times.ptr()) == 2) {
                round_trip = interop::to_double(PyTuple_GET_ITEM(times.ptr(), 0));
                service = interop::to_double(PyTuple_GET_ITEM(times.ptr(), 1));
            }
        });
        cache_.policy.ran_remotely(round_trip, service);
    }

    // A client error says whether the next call would meet it again; if so, calls of this code
    // run here from now on.
    void learn_from(PyObject* failure) {
        cache_.policy.failed(Py_TYPE(failure)->tp_name);
        py::object repeats;
        interop::swallow_ordinary_exceptions(
            [&] { repeats = interop::get_optional_attr(failure, names.repeats); });
        if (repeats.ptr() == Py_True) cache_.failing_code = code_;
    }

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

    static void print(const py::object& line) { offload::print_line(line); }

    Borrowed monitor_;
    Borrowed original_;
    WrapperCache& cache_;
    py::object code_;
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
        WrapperCache& cache = cache_of(closure);
        if (!is_overloaded(monitor, cache) ||
            interop::truth(interop::get_attr(monitor, names.vazovez_failed).ptr())) {
            return call_original(original, args, nargsf, kwnames).release().ptr();
        }
        py::object code = code_of(original);
        bool lazy = makes_lazy_result(code.ptr());
        bool failing = cache.failing_code && cache.failing_code.ptr() == code.ptr();
        if (!cache.policy.send(lazy, failing)) {
            if (lazy || failing) return vectorcall_original(original, args, nargsf, kwnames);
            return timed_call_original(cache.policy, original, args, nargsf, kwnames);
        }
        return Offload(monitor, original, cache, std::move(code))
            .run(args, nargsf, kwnames)
            .release()
            .ptr();
    } catch (...) {
        interop::restore_python_error();
        return nullptr;
    }
}

py::object make_wrapper(interop::NativeFunction&, interop::Arguments args) {
    PyObject* self = args[0];
    PyObject* original = args[1];
    py::object wrapper = interop::make_function(
        overflow_wrapper_spec, interop::global(names.dunder_name).ptr(),
        py::make_tuple(borrow(self), borrow(original), new_cache(offload::offload_mode())));
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

namespace offload {

// The process environment itself, which os.environ writes through to: wrappers are made inside
// the profile hook, where running os.environ's Python code would be both slow and observable.
OffloadMode offload_mode() {
    const char* value = std::getenv("ZUVODA_OFFLOAD");
    if (value == nullptr || std::strcmp(value, "") == 0 || std::strcmp(value, "auto") == 0) {
        return OffloadMode::cost_aware;
    }
    if (std::strcmp(value, "always") == 0) return OffloadMode::always;
    py::object text = steal_or_throw(PyUnicode_DecodeFSDefault(value));
    py::object message = steal_or_throw(PyUnicode_FromFormat(
        "ZUVODA_OFFLOAD must be 'auto' (the default: offload a call only when that is faster) "
        "or 'always' (offload every call while overloaded), got %R",
        text.ptr()));
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw py::error_already_set();
}

void print_line(const py::object& line) {
    py::object print_function = interop::global_or_builtin(names.builtin_print);
    guarded([&] { return steal_or_throw(PyObject_CallOneArg(print_function.ptr(), line.ptr())); });
}

OffloadPolicy* policy_of(PyObject* object) {
    PyObject* closure = wrapper_closure(object);
    return closure != nullptr ? &cache_of(closure).policy : nullptr;
}

}  // namespace offload

}  // namespace overflow

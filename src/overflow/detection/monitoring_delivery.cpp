// From CPython 3.12 on, the monitor watches through sys.monitoring instead of a profile function:
// the interpreter then delivers only the events asked for, the calls and returns of Python code,
// never C calls, and it stops delivering those of a code object that a callback disables. Code
// that is not user code is disabled at its first event; a change of what decides that (the
// filename cache rebound or changed, `_is_user_code` or `_check_user_code` replaced) restarts the
// events, as the compatibility rule asks. The events map onto the profile function's: a start,
// a resumption and a throw into a generator are its "call", a return, a yield and an unwinding
// exception its "return", so that calls and returns pair up as they do there.
//
// The identifier is 4: 0 to 2 and 5 are by convention the debugger's, coverage tools', profilers'
// and optimisers'; tools that look for a free one tend to start from the low end.
#include "detection/profile_hook.h"

#if OVERFLOW_SYS_MONITORING

#include <iterator>

#include "interop/arguments.h"
#include "interop/attribute_stamp.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/logging.h"
#include "interop/module_state.h"
#include "interop/monitoring.h"
#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow::detection {

namespace {

using interop::names;

constexpr int tool_id = 4;
constexpr const char* tool_name = "zuvoda";

// The monitor watching through sys.monitoring, and the one thread it watches: sys.monitoring is
// process-wide, a profile function per thread.
struct Watch {
    PyObject* monitor = nullptr;  // held
    PyThreadState* thread = nullptr;
    uint64_t thread_id = 0;
    PyObject* instance_dict = nullptr;   // borrowed: the observer tells when it goes
    PyObject* filename_cache = nullptr;  // likewise
};

Watch watch;
// A callback returned DISABLE since the events were last restarted.
bool disabled_since_restart = false;
// The fallback to a profile function is logged once per process.
bool fallback_logged = false;
int type_watcher = -1;

// The thread's exception is the callback's: the monitor stops watching, as the interpreter
// unhooks a profile function that raised, and the exception reaches the code of the event.
PyObject* failed() {
    interop::restore_python_error();
    interop::monitoring::silence(tool_id);
    return nullptr;
}

PyObject* deliver(Borrowed code, EventKind kind, bool local) {
    PyThreadState* thread = PyThreadState_Get();
    if (watch.monitor == nullptr || thread != watch.thread ||
        PyThreadState_GetID(thread) != watch.thread_id || !PyCode_Check(code)) {
        Py_RETURN_NONE;
    }
    // Held: what the hook calls may stop the monitor and so drop the watch's reference.
    py::object self = borrow(watch.monitor);
    EventOutcome outcome;
    try {
        outcome = handle_code_event(self.ptr(), reinterpret_cast<PyCodeObject*>(code.ptr()),
                                    EventFrame(), kind);
    } catch (...) {
        return failed();
    }
    if (outcome == EventOutcome::library && local) {
        disabled_since_restart = true;
        return Py_NewRef(interop::monitoring::disable());
    }
    Py_RETURN_NONE;
}

// PY_START and PY_RESUME: (code, instruction_offset)
py::object on_entry(interop::NativeFunction&, interop::Arguments args) {
    return steal_or_throw(deliver(args[0], EventKind::call, true));
}

// PY_RETURN and PY_YIELD: (code, instruction_offset, value)
py::object on_exit(interop::NativeFunction&, interop::Arguments args) {
    return steal_or_throw(deliver(args[0], EventKind::return_, true));
}

// PY_THROW: (code, instruction_offset, exception); cannot be disabled.
py::object on_throw(interop::NativeFunction&, interop::Arguments args) {
    return steal_or_throw(deliver(args[0], EventKind::call, false));
}

// PY_UNWIND: (code, instruction_offset, exception); cannot be disabled.
py::object on_unwind(interop::NativeFunction&, interop::Arguments args) {
    return steal_or_throw(deliver(args[0], EventKind::return_, false));
}

interop::FunctionSpec callback_spec(const char* name, std::vector<interop::Parameter> parameters,
                                    interop::FixedImpl implementation) {
    return {.name = name,
            .qualname = name,
            .parameters = std::move(parameters),
            .return_annotation = "Any",
            .fixed = implementation};
}

const interop::FunctionSpec entry_spec =
    callback_spec("_monitoring_entry", {{"code"}, {"instruction_offset"}}, on_entry);
const interop::FunctionSpec exit_spec =
    callback_spec("_monitoring_exit", {{"code"}, {"instruction_offset"}, {"retval"}}, on_exit);
const interop::FunctionSpec throw_spec =
    callback_spec("_monitoring_throw", {{"code"}, {"instruction_offset"}, {"exception"}}, on_throw);
const interop::FunctionSpec unwind_spec = callback_spec(
    "_monitoring_unwind", {{"code"}, {"instruction_offset"}, {"exception"}}, on_unwind);

// The callbacks by event, made once and kept for the life of the process.
const interop::monitoring::Callback* callbacks() {
    static interop::monitoring::Callback table[6];
    if (table[0].function == nullptr) {
        PyObject* module_name = interop::global(names.dunder_name).ptr();
        auto make = [module_name](const interop::FunctionSpec& spec) {
            return interop::make_function(spec, module_name).release().ptr();
        };
        PyObject* entry = make(entry_spec);
        PyObject* exit = make(exit_spec);
        table[0] = {"PY_START", entry};
        table[1] = {"PY_RESUME", entry};
        table[2] = {"PY_THROW", make(throw_spec)};
        table[3] = {"PY_RETURN", exit};
        table[4] = {"PY_YIELD", exit};
        table[5] = {"PY_UNWIND", make(unwind_spec)};
    }
    return table;
}

std::span<const interop::monitoring::Callback> all_callbacks() { return {callbacks(), 6}; }

void restart_if_disabled() {
    if (!disabled_since_restart) return;
    disabled_since_restart = false;
    interop::monitoring::restart_events();
}

// Runs inside a change of the dict: no Python code here, and restart_events runs none.
void restart_for_new_classification() {
    if (!disabled_since_restart) return;
    try {
        restart_if_disabled();
    } catch (py::error_already_set& error) {
        disabled_since_restart = true;
        error.restore();
        PyErr_WriteUnraisable(nullptr);
    }
}

bool names_classification(PyObject* key) {
    for (PyObject* name : {names.filename_cache, names.is_user_code, names.check_user_code}) {
        if (key == name) return true;
    }
    return false;
}

void on_watched_dict_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                            PyObject* new_value) {
    if (dict == watch.instance_dict) {
        if (key == nullptr) {
            watch.instance_dict = watch.filename_cache = nullptr;
            restart_for_new_classification();
        } else if (names_classification(key)) {
            if (key == names.filename_cache) {
                watch.filename_cache = new_value;
                if (new_value != nullptr && PyDict_Check(new_value)) interop::watch_dict(new_value);
            }
            restart_for_new_classification();
        }
    } else if (dict == watch.filename_cache && event != PyDict_EVENT_ADDED) {
        if (key == nullptr) watch.filename_cache = nullptr;
        restart_for_new_classification();
    }
}

int on_type_change(PyTypeObject*) {
    restart_for_new_classification();
    return 0;
}

// The monitor's own `_profile_hook`, bound to it: what a replaced one would be given is events
// as a profile function.
bool own_hook(Borrowed self) {
    py::object hook = interop::get_attr(self, names.profile_hook);
    return PyMethod_Check(hook.ptr()) && PyMethod_GET_SELF(hook.ptr()) == self &&
           interop::is_native_function(PyMethod_GET_FUNCTION(hook.ptr()), profile_hook_spec);
}

void observe(Borrowed self) {
    PyDictObject* dict = interop::watchable_instance_dict(self);
    if (dict != nullptr && interop::watch_dict(reinterpret_cast<PyObject*>(dict))) {
        watch.instance_dict = reinterpret_cast<PyObject*>(dict);
    }
    py::object cache = interop::get_attr(self, names.filename_cache);
    if (PyDict_Check(cache.ptr()) && interop::watch_dict(cache.ptr())) {
        watch.filename_cache = cache.ptr();
    }
    if (type_watcher == -1) {
        type_watcher = PyType_AddWatcher(on_type_change);
        if (type_watcher < 0) PyErr_Clear();
    }
    if (type_watcher >= 0) require(PyType_Watch(type_watcher, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    interop::observe_watched_dicts(on_watched_dict_change);
}

void forget() {
    interop::observe_watched_dicts(nullptr);
    watch.instance_dict = watch.filename_cache = nullptr;
    PyObject* monitor = watch.monitor;
    watch.monitor = nullptr;
    Py_XDECREF(monitor);
}

}  // namespace

bool watch_through_monitoring(Borrowed self) {
    if (!own_hook(self)) return false;
    if (watch.monitor != nullptr) {
        // A monitor of this module that was never stopped: one that no longer runs gives way.
        if (interop::truth(interop::get_attr(watch.monitor, names.running).ptr())) {
            if (!fallback_logged) {
                fallback_logged = true;
                interop::log(names.warning,
                             "sys.monitoring tool id %d is taken by another monitor: watching "
                             "through a profile function instead",
                             py::int_(tool_id));
            }
            return false;
        }
        forget();
        interop::monitoring::release(tool_id, all_callbacks());
    }
    py::object holder;
    if (!interop::monitoring::claim(tool_id, tool_name, all_callbacks(), holder)) {
        if (!fallback_logged) {
            fallback_logged = true;
            interop::log(names.warning,
                         "sys.monitoring tool id %d is taken by %r: watching through a profile "
                         "function instead",
                         py::int_(tool_id), holder);
        }
        return false;
    }
    // Code a previous watch disabled may be user code for this monitor.
    restart_if_disabled();
    PyThreadState* thread = PyThreadState_Get();
    watch.monitor = Py_NewRef(self.ptr());
    watch.thread = thread;
    watch.thread_id = PyThreadState_GetID(thread);
    observe(self);
    return true;
}

bool stop_watching_through_monitoring(Borrowed self) {
    if (watch.monitor == nullptr || watch.monitor != self) return false;
    forget();
    interop::monitoring::release(tool_id, all_callbacks());
    return true;
}

}  // namespace overflow::detection

#else

namespace overflow::detection {

bool watch_through_monitoring(Borrowed) { return false; }

bool stop_watching_through_monitoring(Borrowed) { return false; }

}  // namespace overflow::detection

#endif

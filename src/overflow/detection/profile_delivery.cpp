// Events reach the profile hook's core through the profile function on CPython 3.11, or where
// sys.monitoring cannot be used. sys.setprofile installs the bound method `_profile_hook` behind
// the interpreter's trampoline, which makes an event string, refreshes the frame's f_locals and
// calls the method. Once the method sees that its thread's profile object is itself, bound to its
// own monitor, it has the interpreter hand that same object to `deliver_directly`, a C profile
// function that gets the event as a number: sys.getprofile() still answers the bound method, and
// nothing the hook does changes, only the trampoline's cost goes.
#include "detection/profile_hook.h"
#include "interop/arguments.h"
#include "interop/errors.h"
#include "interop/module_state.h"
#include "interop/native_function.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::names;
using detection::EventFrame;
using detection::EventKind;
using detection::handle_code_event;

// `event == name` for an exact str. The interpreter passes the same objects every time, but in
// 3.11 its "call" and "return" are not the interned strings, so the last object found equal is
// remembered for an identity test.
class EventName {
public:
    explicit EventName(PyObject* const* name) : name_(name) {}

    bool is(PyObject* event) const { return event == seen_ || event == *name_; }

    bool equals(PyObject* event) {
        if (is(event)) return true;
        if (PyUnicode_CHECK_INTERNED(event) || PyUnicode_Compare(event, *name_) != 0) return false;
        Py_INCREF(event);
        Py_XSETREF(seen_, event);
        return true;
    }

private:
    PyObject* const* name_;  // the interned name, created at module initialisation
    PyObject* seen_ = nullptr;
};

EventName call_event(&names.event_call);
EventName return_event(&names.event_return);

EventKind event_kind(PyObject* event) {
    if (call_event.is(event)) return EventKind::call;
    if (return_event.is(event)) return EventKind::return_;
    if (call_event.equals(event)) return EventKind::call;
    if (return_event.equals(event)) return EventKind::return_;
    return EventKind::other;
}

// The C profile function of a thread moved over from the trampoline; `bound_method` is the
// thread's profile object, `_profile_hook` bound to the monitor.
int deliver_directly(PyObject* bound_method, PyFrameObject* frame, int what, PyObject*) {
    // Held: code the hook runs may replace the thread's profile object, the monitor's last owner.
    py::object self = borrow(PyMethod_GET_SELF(bound_method));
    EventKind kind = what == PyTrace_CALL     ? EventKind::call
                     : what == PyTrace_RETURN ? EventKind::return_
                                              : EventKind::other;
    try {
        handle_code_event(self.ptr(), nullptr, EventFrame(reinterpret_cast<PyObject*>(frame)),
                          kind);
        return 0;
    } catch (...) {
        interop::restore_python_error();
    }
    // As the trampoline does for a hook that raised: the thread is unhooked and the exception
    // reaches the profiled code.
    PyEval_SetProfile(nullptr, nullptr);
    return -1;
}

// After an event that came through the trampoline: when the thread's profile object is this
// method bound to this monitor, the interpreter delivers the next events to deliver_directly
// with that same object. Only the C function is replaced, not the object, so unlike
// PyEval_SetProfile this raises no second "sys.setprofile" audit event and cannot fail; whether
// a profiler is installed at all does not change, so neither does the thread's tracing state.
void deliver_directly_from_now_on(Borrowed self) {
    PyThreadState* thread = PyThreadState_Get();
    PyObject* installed = thread->c_profileobj;
    if (thread->c_profilefunc == nullptr || thread->c_profilefunc == deliver_directly ||
        installed == nullptr || !PyMethod_Check(installed) ||
        PyMethod_GET_SELF(installed) != self ||
        !interop::is_native_function(PyMethod_GET_FUNCTION(installed), profile_hook_spec)) {
        return;
    }
    thread->c_profilefunc = deliver_directly;
}

py::object profile_hook(interop::NativeFunction&, interop::Arguments args) {
    Borrowed self = args[0];
    Borrowed event = args[2];
    interop::require_exact(event, &PyUnicode_Type, "event");
    handle_code_event(self, nullptr, EventFrame(args[1]), event_kind(event));
    deliver_directly_from_now_on(self);
    return py::none();
}

}  // namespace

const interop::FunctionSpec profile_hook_spec =
    monitor_method("_profile_hook", {{"self"}, {"frame", "Any"}, {"event", "str"}, {"arg", "Any"}},
                   "None", profile_hook);

}  // namespace overflow

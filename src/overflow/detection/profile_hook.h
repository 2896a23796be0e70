// The profile hook's rule for one event, shared by the ways events reach it: the profile function
// (detection/profile_delivery.cpp) and, from CPython 3.12 on, sys.monitoring
// (detection/monitoring_delivery.cpp).
#pragma once

#include "interop/python.h"

namespace overflow::detection {

enum class EventKind { call, return_, other };

// The frame of an event: the one the profile function was given, or else the thread's current
// frame, fetched only when wrapping needs it.
class EventFrame {
public:
    explicit EventFrame(Borrowed given = nullptr) : given_(given) {}

    Borrowed get() const {
        if (given_ != nullptr) return given_;
        PyFrameObject* current = PyEval_GetFrame();
        if (current == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "no Python frame is running");
            throw py::error_already_set();
        }
        return reinterpret_cast<PyObject*>(current);
    }

private:
    Borrowed given_;
};

enum class EventOutcome {
    not_running,  // `_running` is false: nothing was looked at
    library,      // not user code: nothing changed
    user,         // user code: the call or return branch ran
};

// One event on the monitor `self`, which the caller holds: of `code` (a code object) when the
// caller knows it, else of the frame's code.
EventOutcome handle_code_event(Borrowed self, PyCodeObject* code, EventFrame frame, EventKind kind);

// sys.monitoring delivery, from CPython 3.12 on. start() asks it first: false when the interpreter
// has no sys.monitoring, when the monitor's `_profile_hook` was replaced, or when another tool
// holds the identifier (logged once); then the profile function watches instead.
bool watch_through_monitoring(Borrowed self);
// Whether `self` was watching through sys.monitoring; it no longer is.
bool stop_watching_through_monitoring(Borrowed self);

}  // namespace overflow::detection

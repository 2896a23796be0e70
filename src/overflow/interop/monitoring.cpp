#include "interop/monitoring.h"

#if OVERFLOW_SYS_MONITORING

#include "interop/module_state.h"

namespace overflow::interop::monitoring {

namespace {

PyObject* disable_sentinel = nullptr;  // kept for the life of the process
PyObject* restart = nullptr;           // sys.monitoring.restart_events, likewise

py::object sys_monitoring() { return global(names.mod_sys).attr("monitoring"); }

}  // namespace

bool claim(int tool_id, const char* name, std::span<const Callback> callbacks,
           py::object& holder) {
    py::object api = sys_monitoring();
    py::object current = api.attr("get_tool")(tool_id);
    if (!current.is_none()) {
        holder = current;
        return false;
    }
    if (disable_sentinel == nullptr) {
        disable_sentinel = py::object(api.attr("DISABLE")).release().ptr();
        restart = py::object(api.attr("restart_events")).release().ptr();
    }
    api.attr("use_tool_id")(tool_id, name);
    py::object events = api.attr("events");
    long mask = 0;
    for (const Callback& callback : callbacks) {
        py::object event = events.attr(callback.event);
        api.attr("register_callback")(tool_id, event, borrow(callback.function));
        mask |= event.cast<long>();
    }
    api.attr("set_events")(tool_id, mask);
    return true;
}

void silence(int tool_id) {
    PyObject* pending = PyErr_GetRaisedException();
    try {
        sys_monitoring().attr("set_events")(tool_id, 0);
    } catch (py::error_already_set&) {
        // The callback's own error is the one to report.
    }
    PyErr_SetRaisedException(pending);
}

void release(int tool_id, std::span<const Callback> callbacks) {
    py::object api = sys_monitoring();
    api.attr("set_events")(tool_id, 0);
    py::object events = api.attr("events");
    for (const Callback& callback : callbacks) {
        api.attr("register_callback")(tool_id, events.attr(callback.event), py::none());
    }
    api.attr("free_tool_id")(tool_id);
}

void restart_events() { steal_or_throw(PyObject_CallNoArgs(restart)); }

PyObject* disable() { return disable_sentinel; }

}  // namespace overflow::interop::monitoring

#endif

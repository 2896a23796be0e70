// The profile hook runs for every call, return and C call of the watched thread (from CPython 3.12
// on, watching through sys.monitoring, for the calls and returns of user code only). Its common path
// (library code, or any event of a file whose verdict is known) allocates nothing and makes no
// generic lookup, yet follows every rebinding: what it remembers is checked against version tags
// that change whenever the monitor's type, its instance dict or its filename cache changes. Events
// reach it through the profile function (detection/profile_delivery.cpp) or sys.monitoring
// (detection/monitoring_delivery.cpp).
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <stdexcept>

#include "detection/profile_hook.h"
#include "detection/user_code.h"
#include "interop/arguments.h"
#include "interop/attribute_stamp.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/fixed_key_dict.h"
#include "interop/logging.h"
#include "interop/module_state.h"
#include "interop/native_function.h"
#include "monitor/attributes.h"
#include "monitor/methods.h"

namespace overflow {

namespace {

using interop::names;
using detection::EventFrame;
using detection::EventKind;
using detection::EventOutcome;

// The hook names the monitor's attributes by their ids; those the attribute table marks for the
// hook are kept in its snapshot.
using Slot = MonitorAttribute;
using enum MonitorAttribute;

// A filename whose verdict is known, valid while the filename cache holds its stamp. The strong
// reference keeps the identity test meaningful.
struct Verdict {
    PyObject* filename = nullptr;
    interop::DictStamp cache;
    bool user_code = false;
};

// The verdicts of the last filenames seen, by filename identity: events alternate between the
// files of a few callers and callees.
class VerdictMemo {
public:
    Verdict& slot_for(PyObject* filename) {
        auto address = reinterpret_cast<uintptr_t>(filename);
        return slots_[(address >> 4 ^ address >> 9) % std::size(slots_)];
    }

private:
    Verdict slots_[8];
};

// What the hook learnt about the last monitor it served. While `stamp` matches, the monitor's type
// and instance dict are unchanged since they were read, so every attribute resolves to the value
// remembered here (nullptr: not a plain instance attribute, read it generically).
struct MonitorSnapshot {
    interop::AttributeStamp stamp;
    Borrowed values[monitor_attribute_count] = {};  // the stamped instance dict holds them
    bool own_is_user_code = false;      // self._is_user_code is the module's own method
    VerdictMemo verdicts;
};

MonitorSnapshot snapshot;

Borrowed plain_attribute_or_throw(Borrowed self, PyObject* name) {
    Borrowed value = interop::plain_instance_attribute(self, name);
    if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

// `bool(value)`, without a call for the common cases.
bool is_true(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    if (PyList_CheckExact(value)) return PyList_GET_SIZE(value) != 0;
    return interop::truth(value);
}

void stamp_monitor(Borrowed self) {
    snapshot.stamp.reset();
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return;
    // The lookup gives the type a valid version tag. Stamped before the reads, and adopted only
    // if still matching after them: a read that ran code (a key's __eq__) or failed leaves the
    // snapshot invalid. The reads go to a local copy first: code run by a read may use the hook,
    // and so the snapshot, for another monitor.
    PyObject* method = _PyType_Lookup(type, names.is_user_code);
    bool own_method = method != nullptr && interop::is_native_function(method, is_user_code_spec);
    interop::AttributeStamp stamp;
    stamp.record(self);
    Borrowed values[monitor_attribute_count] = {};
    for (const MonitorAttributeFacts& attribute : monitor_attributes) {
        if (attribute.hook_remembers) {
            values[index_of(attribute.id)] = plain_attribute_or_throw(self, name_of(attribute));
        }
    }
    bool own_is_user_code =
        own_method && plain_attribute_or_throw(self, names.is_user_code) == nullptr;
    if (!stamp.matches(self)) return;
    std::copy(std::begin(values), std::end(values), snapshot.values);
    snapshot.own_is_user_code = own_is_user_code;
    snapshot.stamp = stamp;
}

// Reads the monitor's attributes during one event: the snapshot's values while its stamp holds,
// else generic attribute access. Whatever may run Python code (a generic read, an allocation that
// may collect garbage, a call) can change the monitor, so the stamp is checked again after it.
// The common paths are inline; the rest is kept out of line.
class MonitorReader {
public:
    // `self` is held by the event's caller.
    explicit MonitorReader(Borrowed self) : self_(self) {
        valid_ = snapshot.stamp.matches(self) || stamp_and_check(self);
    }

    Borrowed self() const { return self_; }

    // Call after anything that may have run Python code.
    void touched() { checked_ = false; }

    bool snapshot_valid() {
        if (!checked_) {
            valid_ = snapshot.stamp.matches(self_);
            checked_ = true;
        }
        return valid_;
    }

    // The remembered value of `self.<slot>`, or nullptr: read it generically.
    Borrowed remembered(Slot slot) {
        return snapshot_valid() ? snapshot.values[index_of(slot)] : nullptr;
    }

    // `self.<slot>`
    py::object read(Slot slot) {
        if (Borrowed value = remembered(slot)) return value.owned();
        return read_generic(slot);
    }

    // `bool(self.<slot>)`
    bool truth(Slot slot) {
        Borrowed value = remembered(slot);
        if (value == Py_True) return true;
        if (value == Py_False) return false;
        return truth_generic(slot);
    }

private:
    [[gnu::noinline]] static bool stamp_and_check(Borrowed self) {
        stamp_monitor(self);
        return snapshot.stamp.matches(self);
    }

    [[gnu::noinline]] py::object read_generic(Slot slot) {
        py::object value = interop::get_attr(self_, name_of(slot));
        touched();
        return value;
    }

    [[gnu::noinline]] bool truth_generic(Slot slot) {
        bool result = is_true(read(slot).ptr());
        touched();
        return result;
    }

    Borrowed self_;
    bool checked_ = true;
    bool valid_;
};

// `self._is_user_code(filename)` as a truth value when no verdict is remembered for the filename:
// one lookup in the cache while the module's own method is in place, else that method itself; a
// replaced method is called as it is.
[[gnu::noinline]] bool look_up_verdict(MonitorReader& monitor, Borrowed filename) {
    Borrowed self = monitor.self();
    if (!monitor.snapshot_valid() || !snapshot.own_is_user_code) {
        py::object verdict = interop::call_method(self, names.is_user_code, filename);
        monitor.touched();
        return is_true(verdict.ptr());
    }
    Borrowed cache = snapshot.values[index_of(filename_cache)];
    if (cache != nullptr && PyDict_CheckExact(cache) && PyUnicode_CheckExact(filename)) {
        interop::DictStamp before = interop::DictStamp::of(cache);
        // Held, in case a key's __eq__ rebinds the monitor's cache during the lookup.
        py::object held = borrow(cache);
        PyObject* cached = PyDict_GetItemWithError(cache, filename);
        monitor.touched();
        if (cached == nullptr && PyErr_Occurred()) throw py::error_already_set();
        if ((cached == Py_True || cached == Py_False) && before.holds(cache)) {
            Verdict& known = snapshot.verdicts.slot_for(filename);
            Py_INCREF(filename);
            Py_XSETREF(known.filename, filename);
            known.cache = before;
            known.user_code = cached == Py_True;
            return known.user_code;
        }
    }
    py::object verdict = is_user_code(self, filename);
    monitor.touched();
    return is_true(verdict.ptr());
}

// `self._is_user_code(filename)` as a truth value: the verdict remembered for this filename
// object while the module's own method is in place and the cache is unchanged.
bool is_user_code_verdict(MonitorReader& monitor, Borrowed filename) {
    if (monitor.snapshot_valid() && snapshot.own_is_user_code) {
        Borrowed cache = snapshot.values[index_of(filename_cache)];
        const Verdict& known = snapshot.verdicts.slot_for(filename);
        if (filename == known.filename && cache != nullptr && known.cache.holds(cache)) {
            return known.user_code;
        }
    }
    return look_up_verdict(monitor, filename);
}

// `mapping[key]`; an exact dict is read directly and raises the same KeyError when it misses.
py::object item(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = PyDict_GetItemWithError(mapping, key);
        if (value != nullptr) return borrow(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return steal_or_throw(PyObject_GetItem(mapping, key));
}

// The code object of the event's frame and its filename: through the C API for a real frame, by
// attribute access for any other object.
struct FrameCode {
    explicit FrameCode(PyCodeObject* code) : real(code), filename(code->co_filename) {}

    explicit FrameCode(Borrowed frame) {
        if (PyFrame_Check(frame)) {
            // The frame keeps its code object alive for the whole event.
            PyCodeObject* frame_code =
                PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame.ptr()));
            Py_DECREF(frame_code);
            real = frame_code;
            filename = frame_code->co_filename;
        } else {
            read_attributes(frame);
        }
    }

    [[gnu::noinline]] void read_attributes(Borrowed frame) {
        held_code = interop::get_attr(frame, names.f_code);
        held_filename = interop::get_attr(held_code.ptr(), names.co_filename);
        filename = held_filename.ptr();
    }

    PyCodeObject* real = nullptr;  // borrowed: the frame holds it
    Borrowed filename;             // held by the code object or by held_filename
    py::object held_code;
    py::object held_filename;
};

// First-line numbers as int objects. Beyond the interpreter's small ints each would be a new
// allocation per call; the ints of recently seen lines are kept instead.
class LineNumbers {
public:
    // Borrowed: kept until a line of the same bucket is asked for.
    PyObject* get(int line) {
        size_t bucket = static_cast<unsigned>(line) % std::size(kept_);
        if (kept_[bucket] == nullptr || lines_[bucket] != line) {
            Py_XSETREF(kept_[bucket], PyLong_FromLong(line));
            if (kept_[bucket] == nullptr) throw py::error_already_set();
            lines_[bucket] = line;
        }
        return kept_[bucket];
    }

private:
    PyObject* kept_[64] = {};
    int lines_[64] = {};
};

LineNumbers line_numbers;

// The keys of a call-stack entry, in order.
enum EntryKey : size_t { key_name, key_filename, key_lineno, key_start_cpu, key_start_mem,
                         key_start_gpu, key_start_gpu_mem };

const interop::FixedKeyDict& entry_template() {
    static const interop::FixedKeyDict keys{
        names.key_name,      names.key_filename,  names.key_lineno,       names.key_start_cpu,
        names.key_start_mem, names.key_start_gpu, names.key_start_gpu_mem,
    };
    return keys;
}

// Entries popped while nothing else referred to them, to be filled again at later calls. Returns
// come in runs as recursion unwinds, so a few are kept.
class SpareEntries {
public:
    void keep(py::object& entry) {
        if (count_ < std::size(entries_) && Py_REFCNT(entry.ptr()) == 1 &&
            PyDict_CheckExact(entry.ptr())) {
            entries_[count_++] = entry.release().ptr();
        }
    }

    py::object take() {
        if (count_ == 0) return {};
        return py::reinterpret_steal<py::object>(entries_[--count_]);
    }

private:
    PyObject* entries_[32] = {};
    size_t count_ = 0;
};

SpareEntries spare_entries;

// The figures of the moment, for a call-stack entry.
constexpr Slot entry_figures[] = {cpu_usage, mem_usage, gpu_util, gpu_mem_util};

// The call-stack entry of a "call" event: the function's identity and the figures of the moment.
// Values are borrowed where nothing can run Python code before the entry holds them.
py::object call_entry(MonitorReader& monitor, const FrameCode& code) {
    const interop::FixedKeyDict& keys = entry_template();
    py::object entry = spare_entries.take();
    bool reused = static_cast<bool>(entry);
    if (!reused) {
        entry = keys.copy();
        // Code may have run (a garbage collection): check the snapshot again.
        monitor.touched();
    }
    PyObject* values[7];
    py::object held[7];
    values[key_filename] = code.filename;
    if (code.real != nullptr) {
        values[key_name] = code.real->co_name;
        values[key_lineno] = line_numbers.get(code.real->co_firstlineno);
    } else {
        held[key_name] = interop::get_attr(code.held_code.ptr(), names.co_name);
        held[key_lineno] = interop::get_attr(code.held_code.ptr(), names.co_firstlineno);
        values[key_name] = held[key_name].ptr();
        values[key_lineno] = held[key_lineno].ptr();
        monitor.touched();
    }
    bool remembered = std::all_of(std::begin(entry_figures), std::end(entry_figures),
                                  [&](Slot slot) { return monitor.remembered(slot) != nullptr; });
    for (size_t i = 0; i < std::size(entry_figures); ++i) {
        size_t key = key_start_cpu + i;
        if (remembered) {
            values[key] = monitor.remembered(entry_figures[i]);
        } else {
            // A generic read may run code that replaces a figure read before: each is held.
            held[key] = monitor.read(entry_figures[i]);
            values[key] = held[key].ptr();
        }
    }
    using Filled = interop::FixedKeyDict::Filled;
    Filled filled = keys.fill(entry.ptr(), values, reused);
    if (filled == Filled::refused) {
        // Its keys were changed while it was on the stack: a fresh copy instead, whose
        // allocation may run code.
        for (size_t i = 0; i < std::size(held); ++i) {
            if (!held[i]) held[i] = borrow(values[i]);
        }
        entry = keys.copy();
        filled = keys.fill(entry.ptr(), values, false);
        if (filled == Filled::refused) throw std::logic_error("fresh entry refused");
        monitor.touched();
    }
    if (filled == Filled::released) monitor.touched();
    return entry;
}

// Once per overload episode, every eligible function of the caller's module scope is wrapped.
void wrap_caller_scope_once(Borrowed self, Borrowed frame) {
    if (interop::truth(interop::get_attr(self, names.scope_wrapped).ptr())) return;
    py::object caller = interop::get_attr(frame, names.f_back);
    if (caller.is_none()) return;
    interop::call_method(self, names.wrap_scope, caller.ptr());
    interop::set_attr(self, names.scope_wrapped, Py_True);
}

// `list.append(entry)`: inline while the list has room, as list.append does.
void append(PyObject* list, py::object& entry) {
    auto* object = reinterpret_cast<PyListObject*>(list);
    Py_ssize_t size = Py_SIZE(object);
    if (size < object->allocated) {
        object->ob_item[size] = entry.release().ptr();
        Py_SET_SIZE(object, size + 1);
    } else {
        require(PyList_Append(list, entry.ptr()));
    }
}

[[gnu::noinline]] void on_call(MonitorReader& monitor, EventFrame event_frame,
                              const FrameCode& code) {
    Borrowed self = monitor.self();
    py::object stack = monitor.read(call_stack);
    py::object entry = call_entry(monitor, code);
    if (PyList_CheckExact(stack.ptr())) {
        append(stack.ptr(), entry);
    } else {
        interop::call_method(stack.ptr(), names.append, entry.ptr());
        monitor.touched();
    }
    if (!monitor.truth(overloaded)) return;
    // The invocation under way runs unwrapped; later calls through the name reach the wrapper.
    Borrowed frame = event_frame.get();
    interop::call_method(self, names.try_wrap_from_frame, frame);
    wrap_caller_scope_once(self, frame);
}

// `stack.pop()`
py::object pop_last(MonitorReader& monitor, PyObject* stack) {
    if (!PyList_CheckExact(stack)) {
        monitor.touched();
        return interop::call_method(stack, names.pop);
    }
    auto* list = reinterpret_cast<PyListObject*>(stack);
    Py_ssize_t size = Py_SIZE(list);
    // As list.pop does when it keeps its allocation: the list's reference passes to the caller.
    if (size - 1 >= list->allocated / 2) {
        Py_SET_SIZE(list, size - 1);
        return py::reinterpret_steal<py::object>(list->ob_item[size - 1]);
    }
    py::object last = borrow(PyList_GET_ITEM(stack, size - 1));
    require(PyList_SetSlice(stack, size - 1, size, nullptr));
    return last;
}

// `bool(value)` for a value of the return branch: anything but a bool may run Python code.
bool is_true(MonitorReader& monitor, PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    monitor.touched();
    return interop::truth(value);
}

// `info[key] <= self.<limit>`. The lookup may run a key's __eq__; a comparison of anything but
// floats may run Python code.
py::object figure_within(MonitorReader& monitor, Borrowed info, PyObject* key, Slot limit) {
    py::object figure = item(info, key);
    monitor.touched();
    py::object bound = monitor.read(limit);
    if (PyFloat_CheckExact(figure.ptr()) && PyFloat_CheckExact(bound.ptr())) {
        return py::bool_(PyFloat_AS_DOUBLE(figure.ptr()) <= PyFloat_AS_DOUBLE(bound.ptr()));
    }
    py::object result = steal_or_throw(PyObject_RichCompare(figure.ptr(), bound.ptr(), Py_LE));
    monitor.touched();
    return result;
}

// Every figure recorded at entry was within its threshold; `and` short-circuits as in Python.
bool started_within_thresholds(MonitorReader& monitor, Borrowed info) {
    py::object started_ok = figure_within(monitor, info, names.key_start_cpu, threshold);
    if (is_true(monitor, started_ok.ptr())) {
        started_ok = figure_within(monitor, info, names.key_start_mem, threshold);
    }
    if (monitor.truth(gpu_available) && is_true(monitor, started_ok.ptr())) {
        started_ok = figure_within(monitor, info, names.key_start_gpu, gpu_threshold);
        if (is_true(monitor, started_ok.ptr())) {
            started_ok = figure_within(monitor, info, names.key_start_gpu_mem, gpu_threshold);
        }
    }
    return is_true(monitor, started_ok.ptr());
}

// Heavy: began on a machine within its thresholds and ended on an overloaded one.
void declare_heavy(Borrowed self, EventFrame event_frame, Borrowed info) {
    py::tuple signature = py::make_tuple(item(info, names.key_name),
                                         item(info, names.key_filename),
                                         item(info, names.key_lineno));
    py::object signatures = interop::get_attr(self, names.heavy_signatures);
    if (PySet_CheckExact(signatures.ptr())) {
        require(PySet_Add(signatures.ptr(), signature.ptr()));
    } else {
        interop::call_method(signatures.ptr(), names.add, signature.ptr());
    }
    Borrowed frame = event_frame.get();
    interop::call_method(self, names.try_wrap_from_frame, frame);
    wrap_caller_scope_once(self, frame);
    interop::log(names.warning,
                 "Heavy function detected: %s() at %s:%d — wrapped for cloud offload",
                 item(info, names.key_name), item(info, names.key_filename),
                 item(info, names.key_lineno));
}

// `first <= bound and second <= bound`, short-circuiting, for floats; false in `decided` when one
// of them is not a float and the comparison could run Python code.
inline bool both_within(PyObject* const* figures, PyObject* bound, bool& decided) {
    decided = PyFloat_CheckExact(bound) && PyFloat_CheckExact(figures[0]);
    if (!decided) return false;
    double limit = PyFloat_AS_DOUBLE(bound);
    if (!(PyFloat_AS_DOUBLE(figures[0]) <= limit)) return false;
    decided = PyFloat_CheckExact(figures[1]);
    return decided && PyFloat_AS_DOUBLE(figures[1]) <= limit;
}

// The return branch when nothing in it can run Python code: the top entry is one the hook made,
// its figures and the thresholds are floats, the flags bools. False, with nothing changed, when
// the general branch must decide.
bool return_quietly(MonitorReader& monitor, EventFrame frame, Borrowed stack) {
    Borrowed info = PyList_GET_ITEM(stack.ptr(), PyList_GET_SIZE(stack.ptr()) - 1);
    Borrowed limit = monitor.remembered(threshold);
    Borrowed gpu_on = monitor.remembered(gpu_available);
    Borrowed overload = monitor.remembered(overloaded);
    PyObject* figures[2];
    if (limit == nullptr || (gpu_on != Py_True && gpu_on != Py_False) ||
        (overload != Py_True && overload != Py_False) ||
        !entry_template().values(info, key_start_cpu, 2, figures)) {
        return false;
    }
    bool decided = false;
    bool started_ok = both_within(figures, limit, decided);
    if (!decided) return false;
    if (started_ok && gpu_on == Py_True) {
        Borrowed gpu_limit = monitor.remembered(gpu_threshold);
        if (gpu_limit == nullptr || !entry_template().values(info, key_start_gpu, 2, figures)) {
            return false;
        }
        started_ok = both_within(figures, gpu_limit, decided);
        if (!decided) return false;
    }
    py::object popped = pop_last(monitor, stack);
    if (started_ok && overload == Py_True) {
        declare_heavy(monitor.self(), frame, popped.ptr());
    } else {
        spare_entries.keep(popped);
    }
    return true;
}

[[gnu::noinline]] void on_return(MonitorReader& monitor, EventFrame frame) {
    Borrowed remembered_stack = monitor.remembered(call_stack);
    if (remembered_stack != nullptr && PyList_CheckExact(remembered_stack)) {
        if (PyList_GET_SIZE(remembered_stack) == 0) return;
        if (return_quietly(monitor, frame, remembered_stack)) return;
    }
    py::object stack = monitor.read(call_stack);
    if (!PyList_CheckExact(stack.ptr())) monitor.touched();
    if (!is_true(stack.ptr())) return;
    py::object info = pop_last(monitor, stack.ptr());
    if (!started_within_thresholds(monitor, info.ptr())) return;
    if (!monitor.truth(overloaded)) return;
    declare_heavy(monitor.self(), frame, info.ptr());
}

// One event, of `code_object` when the caller knows it, else of the frame's code.
EventOutcome handle_event(Borrowed self, PyCodeObject* code_object, EventFrame frame,
                          EventKind kind) {
    MonitorReader monitor(self);
    if (!monitor.truth(running)) return EventOutcome::not_running;
    FrameCode code = code_object != nullptr ? FrameCode(code_object) : FrameCode(frame.get());
    if (code.real == nullptr) monitor.touched();
    if (!is_user_code_verdict(monitor, code.filename)) return EventOutcome::library;

    switch (kind) {
        case EventKind::call:
            on_call(monitor, frame, code);
            break;
        case EventKind::return_:
            on_return(monitor, frame);
            break;
        case EventKind::other:
            break;
    }
    return EventOutcome::user;
}

}  // namespace

namespace detection {

EventOutcome handle_code_event(Borrowed self, PyCodeObject* code, EventFrame frame,
                               EventKind kind) {
    return handle_event(self, code, frame, kind);
}

}  // namespace detection

}  // namespace overflow

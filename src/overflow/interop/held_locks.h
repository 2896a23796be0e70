// `with lock:` for the module's own non-reentrant locks, remembering which of them this thread
// holds. Code that runs under such a lock can reach Python code (a garbage collection runs a
// `__del__`, the profile hook sees its call) that asks for the same lock on the same thread: that
// would wait forever, so such a re-entry is told apart and the caller takes another way.
#pragma once

#include "interop/context_manager.h"

namespace overflow::interop {

bool held_by_this_thread(PyObject* lock);

// Marks `lock` as held by this thread while it lives.
class HeldLockMark {
public:
    explicit HeldLockMark(PyObject* lock);
    ~HeldLockMark();
    HeldLockMark(const HeldLockMark&) = delete;
    HeldLockMark& operator=(const HeldLockMark&) = delete;
};

// `with lock: body()`, unless this thread holds `lock` already: then the body is not run and
// the result is false, and the caller decides what a re-entry means.
template <typename Body>
bool with_lock_unless_held(PyObject* lock, Body&& body) {
    if (held_by_this_thread(lock)) return false;
    with_context(lock, [&](const py::object&) {
        HeldLockMark mark(lock);
        body();
    });
    return true;
}

}  // namespace overflow::interop

// `with lock:` for the module's own non-reentrant locks, remembering which of them this thread
// holds. Code that runs under such a lock can reach Python code (a garbage collection runs a
// `__del__`, the profile hook sees its call) that asks for the same lock on the same thread: that
// would wait forever, so the caller checks `held_by_this_thread` first and takes another way.
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

// `with lock: body()`
template <typename Body>
void with_held_lock(PyObject* lock, Body&& body) {
    with_context(lock, [&](const py::object&) {
        HeldLockMark mark(lock);
        body();
    });
}

}  // namespace overflow::interop

#include "interop/held_locks.h"

#include <algorithm>
#include <vector>

namespace overflow::interop {

namespace {

// Innermost last; a thread rarely holds more than one.
thread_local std::vector<PyObject*> locks_held;

}  // namespace

bool held_by_this_thread(PyObject* lock) {
    return std::find(locks_held.begin(), locks_held.end(), lock) != locks_held.end();
}

HeldLockMark::HeldLockMark(PyObject* lock) { locks_held.push_back(lock); }

HeldLockMark::~HeldLockMark() { locks_held.pop_back(); }

}  // namespace overflow::interop

#include "interop/attribute_stamp.h"

#if OVERFLOW_WATCHERS

namespace overflow::interop {

uint64_t watched_dict_changes = 0;

namespace {

// -1: not asked for yet; -2: none to be had (every watcher id of the interpreter is taken).
int watcher_id = -1;
DictObserver observer = nullptr;

int on_dict_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    ++watched_dict_changes;
    if (observer != nullptr) observer(event, dict, key, new_value);
    return 0;
}

}  // namespace

bool watch_dict(PyObject* dict) {
    if (watcher_id == -1) {
        watcher_id = PyDict_AddWatcher(on_dict_change);
        if (watcher_id < 0) {
            PyErr_Clear();
            watcher_id = -2;
        }
    }
    if (watcher_id < 0) return false;
    if (PyDict_Watch(watcher_id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

void observe_watched_dicts(DictObserver new_observer) { observer = new_observer; }

}  // namespace overflow::interop

#endif

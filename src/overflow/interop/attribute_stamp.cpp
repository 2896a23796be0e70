#include "interop/attribute_stamp.h"

#include "interop/module_state.h"

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

#if OVERFLOW_INLINE_VALUES_UNWATCHED
PyDictObject* watchable_instance_dict(PyObject* object) {
    PyDictObject* dict = instance_dict(object);
    if (dict == nullptr || dict->ma_values == nullptr) return dict;
    // An equal dict with a combined table: the object's attributes are stored in it from now on.
    py::object own = steal_or_throw(PyDict_New());
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    auto* shared = reinterpret_cast<PyObject*>(dict);
    while (PyDict_Next(shared, &position, &key, &value)) require(PyDict_SetItem(own.ptr(), key, value));
    // Through the type's __dict__ descriptor, as `object.__dict__ = own` would: it also ends the
    // object's use of its inline values.
    require(PyObject_SetAttr(object, names.dunder_dict, own.ptr()));
    return instance_dict(object);
}
#endif

}  // namespace overflow::interop

#endif

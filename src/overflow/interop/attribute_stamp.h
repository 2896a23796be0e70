// Lets a hot path remember what it read from an object's attributes and check cheaply that
// nothing changed since. Types carry a version tag that every change renews. Dicts differ by
// interpreter: CPython 3.11 gives every dict mutation a new version tag, drawn from a process-wide
// counter; from 3.12 on the tag is deprecated and a dict watcher advances a counter of its own at
// every change of a dict a stamp was taken of. Either way a stale stamp never matches, not even a
// different dict that happens to reuse an address.
#pragma once

#include <cstdint>

#include "interop/python.h"

namespace overflow::interop {

inline bool has_valid_version_tag(PyTypeObject* type) {
#if OVERFLOW_TYPE_VERSION_FLAG
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
#else
    return type->tp_version_tag != 0;
#endif
}

// The instance __dict__ (materialised if the object still keeps its values inline), or nullptr.
inline PyDictObject* instance_dict(PyObject* object) {
    PyObject** slot = _PyObject_GetDictPtr(object);
    return slot != nullptr ? reinterpret_cast<PyDictObject*>(*slot) : nullptr;
}

#if OVERFLOW_INLINE_VALUES_UNWATCHED
// The instance dict, given a table of its own first when it shares the object's inline values,
// whose changes its watchers would not be told of; nullptr when the object has none.
PyDictObject* watchable_instance_dict(PyObject* object);
#else
inline PyDictObject* watchable_instance_dict(PyObject* object) { return instance_dict(object); }
#endif

#if OVERFLOW_WATCHERS
// Advanced by the watcher at every change (dealloc included) of a watched dict.
extern uint64_t watched_dict_changes;

// Has every change of `dict` advance watched_dict_changes; false when no dict watcher is to be had.
bool watch_dict(PyObject* dict);

// Told of every change of a watched dict before it happens (`key` is nullptr for a clear, a
// dealloc or a clone, `new_value` for these and a deletion); one observer at a time, nullptr for
// none. It must not run Python code.
using DictObserver = void (*)(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                              PyObject* new_value);
void observe_watched_dicts(DictObserver observer);
#endif

// What a dict was at one moment: holds for the same dict as long as it has not changed since.
class DictStamp {
public:
    // Never holds.
    DictStamp() = default;

    static DictStamp of(PyObject* dict) {
        DictStamp stamp;
#if OVERFLOW_DICT_VERSION_TAGS
        stamp.version_ = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
        if (!watch_dict(dict)) return stamp;
        stamp.version_ = watched_dict_changes;
#endif
        stamp.dict_ = dict;
        return stamp;
    }

    bool holds(PyObject* dict) const {
#if OVERFLOW_DICT_VERSION_TAGS
        return dict == dict_ && reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == version_;
#else
        return dict == dict_ && watched_dict_changes == version_;
#endif
    }

private:
    PyObject* dict_ = nullptr;
    uint64_t version_ = 0;
};

class AttributeStamp {
public:
    bool matches(PyObject* object) const {
        PyTypeObject* type = Py_TYPE(object);
        if (type != type_ || type->tp_version_tag != type_version_ ||
            !has_valid_version_tag(type)) {
            return false;
        }
        PyDictObject* dict = instance_dict(object);
        return dict != nullptr && dict_.holds(reinterpret_cast<PyObject*>(dict));
    }

    // Call after reading what the caller caches. Types without a valid version tag, or objects
    // without an instance dict, are never stamped.
    void record(PyObject* object) {
        type_ = nullptr;
        PyTypeObject* type = Py_TYPE(object);
        PyDictObject* dict = watchable_instance_dict(object);
        if (dict == nullptr || !has_valid_version_tag(type)) return;
        dict_ = DictStamp::of(reinterpret_cast<PyObject*>(dict));
        type_ = type;
        type_version_ = type->tp_version_tag;
    }

    void reset() { type_ = nullptr; }

private:
    PyTypeObject* type_ = nullptr;
    unsigned int type_version_ = 0;
    DictStamp dict_;
};

// The value bound to `name` in the object's instance dict when no data descriptor of its type
// takes precedence, else nullptr: then only a generic lookup gives the right answer. Also leaves
// the type with a valid version tag when it can have one.
inline Borrowed plain_instance_attribute(PyObject* object, PyObject* name) {
    PyObject* on_type = _PyType_Lookup(Py_TYPE(object), name);
    if (on_type != nullptr && Py_TYPE(on_type)->tp_descr_set != nullptr) return nullptr;
    PyDictObject* dict = instance_dict(object);
    if (dict == nullptr) return nullptr;
    return PyDict_GetItemWithError(reinterpret_cast<PyObject*>(dict), name);
}

}  // namespace overflow::interop

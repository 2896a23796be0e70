// Lets a hot path remember what it read from an object's attributes and check cheaply that
// nothing changed since. CPython 3.11 gives every dict mutation and every type change a new
// version tag, drawn from process-wide counters, so a stale stamp never matches a different dict
// or type that happens to reuse an address.
#pragma once

#include <cstdint>

#include "interop/python.h"

namespace overflow::interop {

// The instance __dict__ (materialised if the object still keeps its values inline), or nullptr.
inline PyDictObject* instance_dict(PyObject* object) {
    PyObject** slot = _PyObject_GetDictPtr(object);
    return slot != nullptr ? reinterpret_cast<PyDictObject*>(*slot) : nullptr;
}

class AttributeStamp {
public:
    bool matches(PyObject* object) const {
        PyTypeObject* type = Py_TYPE(object);
        if (type != type_ || type->tp_version_tag != type_version_ ||
            !(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
            return false;
        }
        PyDictObject* dict = instance_dict(object);
        return dict != nullptr && dict->ma_version_tag == dict_version_;
    }

    // Call after reading what the caller caches. Types without a valid version tag, or objects
    // without an instance dict, are never stamped.
    void record(PyObject* object) {
        type_ = nullptr;
        PyTypeObject* type = Py_TYPE(object);
        PyDictObject* dict = instance_dict(object);
        if (dict == nullptr || !(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return;
        type_ = type;
        type_version_ = type->tp_version_tag;
        dict_version_ = dict->ma_version_tag;
    }

    void reset() { type_ = nullptr; }

private:
    PyTypeObject* type_ = nullptr;
    unsigned int type_version_ = 0;
    uint64_t dict_version_ = 0;
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

// The one file of the module that reads a structure internal to CPython 3.11: the entry table of
// a dict with str keys (Include/internal/pycore_dict.h). It pays on the profile hook's hottest
// path: seven values written into their slots cost seven stores, where PyDict_SetItem costs a
// table probe for each key, at every call of a user function. The layout is checked on a real
// copy when the template is made; where it does not hold, every dict goes through the public API.
// From 3.12 on that header no longer compiles as C++, and every dict goes through the public API.
#include "interop/fixed_key_dict.h"

#include <stdexcept>

#if OVERFLOW_DICT_LAYOUT_HEADER
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"  // the header's flexible array member
#define Py_BUILD_CORE
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE
#pragma GCC diagnostic pop
#endif

namespace overflow::interop {

namespace {

#if OVERFLOW_DICT_LAYOUT_HEADER

struct Slots {
    PyDictUnicodeEntry* entries = nullptr;
    Py_ssize_t count = 0;
};

// The entry slots of an exact dict whose combined table has str keys; none for any other dict.
[[gnu::always_inline]] inline Slots slots_of(PyObject* dict) {
    if (!PyDict_CheckExact(dict)) return {};
    auto* object = reinterpret_cast<PyDictObject*>(dict);
    PyDictKeysObject* table = object->ma_keys;
    if (object->ma_values != nullptr || table->dk_kind != DICT_KEYS_UNICODE) return {};
    return {DK_UNICODE_ENTRIES(table), table->dk_nentries};
}

// What the layout shows of a copy of the template is what the public API reports of it. The
// header fields the entries' address is computed from are checked for plausibility first.
bool layout_holds(PyObject* copy, PyObject* const* keys, size_t size) {
    auto* object = reinterpret_cast<PyDictObject*>(copy);
    PyDictKeysObject* table = object->ma_keys;
    if (object->ma_values != nullptr || object->ma_used != static_cast<Py_ssize_t>(size) ||
        table->dk_kind != DICT_KEYS_UNICODE || table->dk_log2_size < 3 ||
        table->dk_log2_size > 7 || table->dk_log2_index_bytes != table->dk_log2_size ||
        table->dk_nentries != static_cast<Py_ssize_t>(size)) {
        return false;
    }
    Slots slots = slots_of(copy);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (size_t i = 0; i < size; ++i) {
        if (!PyDict_Next(copy, &position, &key, &value) || key != keys[i] ||
            slots.entries[i].me_key != key || slots.entries[i].me_value != value) {
            return false;
        }
    }
    return true;
}
#else
struct Slots {
    struct Entry {
        PyObject* me_key;
        PyObject* me_value;
    }* entries = nullptr;
    Py_ssize_t count = 0;
};

inline Slots slots_of(PyObject*) { return {}; }

bool layout_holds(PyObject*, PyObject* const*, size_t) { return false; }
#endif

}  // namespace

FixedKeyDict::FixedKeyDict(std::initializer_list<PyObject*> keys) {
    if (keys.size() > max_size) throw std::logic_error("too many keys for a FixedKeyDict");
    // Inserted one by one into an empty dict, the keys get the table a literal of them gets.
    py::object made = steal_or_throw(PyDict_New());
    for (PyObject* key : keys) {
        keys_[size_++] = key;
        require(PyDict_SetItem(made.ptr(), key, Py_None));
    }
    template_ = made.release().ptr();
    direct_ = layout_holds(copy().ptr(), keys_, size_);
}

py::object FixedKeyDict::copy() const { return steal_or_throw(PyDict_Copy(template_)); }

FixedKeyDict::Filled FixedKeyDict::fill(PyObject* dict, PyObject* const* values,
                                        bool renew_version) const {
    Slots slots = direct_ ? slots_of(dict) : Slots{};
    if (slots.entries == nullptr) return fill_through_api(dict, values);
    if (slots.count != static_cast<Py_ssize_t>(size_) ||
        PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(size_)) {
        return Filled::refused;
    }
    for (size_t i = 0; i < size_; ++i) {
        if (slots.entries[i].me_key != keys_[i]) return Filled::refused;
    }
    // The version counter is not exported: with `renew_version`, the first changed value goes in
    // through PyDict_SetItem, which draws the fresh tag.
    size_t through_api = size_;
    bool renew = renew_version;
    bool released = false;
    PyObject* previous[max_size] = {};
    bool container = false;
    for (size_t i = 0; i < size_; ++i) {
        PyObject*& slot = slots.entries[i].me_value;
        if (slot == values[i]) continue;
        released = true;
        if (renew) {
            through_api = i;
            renew = false;
            continue;
        }
        previous[i] = slot;
        slot = Py_NewRef(values[i]);
        container = container || PyType_IS_GC(Py_TYPE(values[i]));
    }
    // As PyDict_SetItem would: a dict that may hold a container must be seen by the collector.
    if (container && !PyObject_GC_IsTracked(dict)) PyObject_GC_Track(dict);
    if (!released) return Filled::in_place;
    int status = through_api < size_ ? PyDict_SetItem(dict, keys_[through_api], values[through_api])
                                     : 0;
    for (PyObject* value : previous) Py_XDECREF(value);
    require(status);
    return Filled::released;
}

FixedKeyDict::Filled FixedKeyDict::fill_through_api(PyObject* dict, PyObject* const* values) const {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(size_)) {
        return Filled::refused;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* held[max_size] = {};
    for (size_t i = 0; i < size_; ++i) {
        if (!PyDict_Next(dict, &position, &key, &held[i]) || key != keys_[i]) {
            return Filled::refused;
        }
    }
    // Only changed values are written: PyDict_SetItem of the value a key already has changes
    // nothing, not even the version tag. The values replaced are held until every write is done,
    // so that no code their release runs sees the dict half filled.
    bool released = false;
    int status = 0;
    for (size_t i = 0; i < size_; ++i) {
        if (held[i] == values[i] || status != 0) {
            held[i] = nullptr;
            continue;
        }
        Py_INCREF(held[i]);
        released = true;
        status = PyDict_SetItem(dict, keys_[i], values[i]);
    }
    for (PyObject* value : held) Py_XDECREF(value);
    require(status);
    return released ? Filled::released : Filled::in_place;
}

bool FixedKeyDict::values(PyObject* dict, size_t first, size_t count, PyObject** out) const {
    Slots slots = direct_ ? slots_of(dict) : Slots{};
    if (slots.entries == nullptr || static_cast<Py_ssize_t>(first + count) > slots.count) {
        for (size_t i = 0; i < count; ++i) {
            out[i] = value(dict, first + i);
            if (out[i] == nullptr) return false;
        }
        return true;
    }
    for (size_t i = first; i < first + count; ++i) {
        const auto& slot = slots.entries[i];
        if (slot.me_key != keys_[i] || slot.me_value == nullptr) return false;
        *out++ = slot.me_value;
    }
    return true;
}

PyObject* FixedKeyDict::value(PyObject* dict, size_t index) const {
    Slots slots = direct_ ? slots_of(dict) : Slots{};
    if (slots.entries != nullptr) {
        if (static_cast<Py_ssize_t>(index) >= slots.count) return nullptr;
        const auto& slot = slots.entries[index];
        return slot.me_key == keys_[index] ? slot.me_value : nullptr;
    }
    if (!PyDict_CheckExact(dict)) return nullptr;
    auto position = static_cast<Py_ssize_t>(index);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!PyDict_Next(dict, &position, &key, &value) || key != keys_[index]) return nullptr;
    return value;
}

}  // namespace overflow::interop

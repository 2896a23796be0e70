// Small dicts with a fixed series of str keys, such as the profile hook's call-stack entries.
// Each is a copy of one template, so it gets the compact key table of the dict literal it stands
// for (a pre-sized dict would get a larger, general one), and its values are written straight
// into their slots instead of being inserted key by key.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "interop/python.h"

namespace overflow::interop {

class FixedKeyDict {
public:
    // `keys`: interned str, in insertion order.
    FixedKeyDict(std::initializer_list<PyObject*> keys);

    size_t size() const { return size_; }

    // A new dict with the template's keys, each bound to None.
    py::object copy() const;

    enum class Filled {
        refused,   // `dict` no longer has the template's keys in their places: nothing written
        in_place,  // no value it held was let go
        released,  // values it held were let go, which may have run Python code
    };

    // Binds the template's keys, in order, to `values` (borrowed) in `dict`, a copy that nothing
    // else references. With `renew_version`, for a dict used before, it gets a fresh version tag
    // when any value changes, as after any other change.
    Filled fill(PyObject* dict, PyObject* const* values, bool renew_version) const;

    // `dict[key]` for the template's key at `index`, when `dict` holds it in the template's place
    // (borrowed); else nullptr, and only a lookup gives the answer.
    PyObject* value(PyObject* dict, size_t index) const;

    // value() for the `count` keys from `first` on, into `out`; false when one of them is not in
    // its place.
    bool values(PyObject* dict, size_t first, size_t count, PyObject** out) const;

private:
    Filled fill_through_api(PyObject* dict, PyObject* const* values) const;

    static constexpr size_t max_size = 8;
    PyObject* keys_[max_size] = {};
    size_t size_ = 0;
    PyObject* template_ = nullptr;  // kept for the life of the process
    bool direct_ = false;           // this interpreter's dicts have the layout written for
};

}  // namespace overflow::interop

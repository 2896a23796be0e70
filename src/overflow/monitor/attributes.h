// The monitor's attributes as data, derived from the table in monitor/attribute_table.h: the
// constructor, the pickled state and the profile hook's snapshot iterate over it.
#pragma once

#include <iterator>

#include "interop/module_state.h"
#include "monitor/attribute_table.h"

namespace overflow {

// What the constructor sets an attribute to.
enum class Initial {
    configured,        // from the configuration arguments and the environment
    no,                // False
    zero,              // 0.0
    none,              // None
    empty_list,        // a new [] per instance
    empty_dict,        // a new {} per instance
    empty_set,         // a new set() per instance
    new_lock,          // threading.Lock(), also after unpickling
    library_prefixes,  // _compute_exclude_prefixes()
};

enum class MonitorAttribute : size_t {
#define OVERFLOW_ATTRIBUTE_ID(field, ...) field,
    OVERFLOW_MONITOR_ATTRIBUTES(OVERFLOW_ATTRIBUTE_ID)
#undef OVERFLOW_ATTRIBUTE_ID
};

struct MonitorAttributeFacts {
    MonitorAttribute id;
    PyObject* interop::InternedNames::*name;
    Initial initial;
    bool pickled;
    bool hook_remembers;  // kept in the profile hook's snapshot
};

inline constexpr MonitorAttributeFacts monitor_attributes[] = {
#define OVERFLOW_ATTRIBUTE_FACTS(field, text, initial, pickled, hook) \
    {MonitorAttribute::field, &interop::InternedNames::field, Initial::initial, pickled, hook},
    OVERFLOW_MONITOR_ATTRIBUTES(OVERFLOW_ATTRIBUTE_FACTS)
#undef OVERFLOW_ATTRIBUTE_FACTS
};

inline constexpr size_t monitor_attribute_count = std::size(monitor_attributes);

constexpr size_t index_of(MonitorAttribute attribute) { return static_cast<size_t>(attribute); }

// The interned name of an attribute.
inline PyObject* name_of(const MonitorAttributeFacts& attribute) {
    return interop::names.*attribute.name;
}

inline PyObject* name_of(MonitorAttribute attribute) {
    return name_of(monitor_attributes[index_of(attribute)]);
}

}  // namespace overflow

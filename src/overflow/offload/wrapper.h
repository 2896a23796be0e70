// What the rest of the module reaches of the wrappers: their offload policies and the setting
// that chooses how those decide.
#pragma once

#include "interop/native_function.h"
#include "offload/offload_policy.h"

namespace overflow::offload {

// ZUVODA_OFFLOAD, read at the moment of use: unset, empty or "auto" for the cost-aware
// decision, "always" for sending every call; ValueError for anything else.
OffloadMode offload_mode();

// The policy of a wrapper made by _make_wrapper, or nullptr for any other object.
OffloadPolicy* policy_of(PyObject* object);

// With a verbose monitor, a few lines on what its wrappers decided; nothing when none decided.
void print_offload_summary(PyObject* monitor);

// `print(line)` through the module's late-bound print, on a thread the interpreter may end at
// exit inside the call.
void print_line(const py::object& line);

// _offload_policy(wrapper, local=None, remote=None, service=None): feeds a wrapper's policy the
// figures of one run and answers its state, so that tests need no timing.
extern const interop::FunctionSpec offload_policy_spec;

}  // namespace overflow::offload

#pragma once

#include "interop/native_function.h"

namespace overflow {

// _compute_exclude_prefixes(): the directories whose code is never the user's own.
extern const interop::FunctionSpec compute_exclude_prefixes_spec;

}  // namespace overflow

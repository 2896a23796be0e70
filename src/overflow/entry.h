#pragma once

#include "interop/native_function.h"

namespace overflow {

// overflow(...): the public entry point a script calls once near its top.
extern const interop::FunctionSpec overflow_spec;

}  // namespace overflow

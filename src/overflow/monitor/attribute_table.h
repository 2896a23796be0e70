// The monitor's attributes: the one place that lists them. A row gives the field of
// interop::names, the attribute's name, its initial value (Initial in monitor/attributes.h),
// whether __getstate__ keeps it, and whether the profile hook keeps it in its snapshot. The row
// order is the order of the instance dict and so of the pickled state; the typing stub lists the
// same names in the same order, which a test checks.
#pragma once

// clang-format off
#define OVERFLOW_MONITOR_ATTRIBUTES(X)                                                  \
    /* field              name                   initial value     pickled  hook */     \
    X(fast,               "fast",                configured,       true,    false)      \
    X(threshold,          "threshold",           configured,       true,    true)       \
    X(check_interval,     "check_interval",      configured,       true,    false)      \
    X(gpu_threshold,      "gpu_threshold",       configured,       true,    true)       \
    X(verbose,            "verbose",             configured,       true,    false)      \
    X(api_key,            "api_key",             configured,       true,    false)      \
    X(api_url,            "api_url",             configured,       true,    false)      \
    X(running,            "_running",            no,               true,    true)       \
    X(overloaded,         "_overloaded",         no,               true,    true)       \
    X(cpu_usage,          "_cpu_usage",          zero,             true,    true)       \
    X(mem_usage,          "_mem_usage",          zero,             true,    true)       \
    X(gpu_util,           "_gpu_util",           zero,             true,    true)       \
    X(gpu_mem_util,       "_gpu_mem_util",       zero,             true,    true)       \
    X(gpu_available,      "_gpu_available",      no,               true,    true)       \
    X(nvml_handle,        "_nvml_handle",        none,             true,    false)      \
    X(call_stack,         "_call_stack",         empty_list,       true,    true)       \
    X(wrapped_functions,  "_wrapped_functions",  empty_dict,       true,    false)      \
    X(heavy_signatures,   "_heavy_signatures",   empty_set,        true,    false)      \
    X(scope_wrapped,      "_scope_wrapped",      no,               true,    false)      \
    X(filename_cache,     "_filename_cache",     empty_dict,       true,    true)       \
    X(lock,               "_lock",               new_lock,         false,   false)      \
    X(monitor_thread,     "_monitor_thread",     none,             false,   false)      \
    X(original_profile,   "_original_profile",   none,             true,    false)      \
    X(vazovez,            "_vazovez",            none,             true,    false)      \
    X(vazovez_lock,       "_vazovez_lock",       new_lock,         false,   false)      \
    X(vazovez_failed,     "_vazovez_failed",     no,               true,    false)      \
    X(warm_result,        "_warm_result",        empty_dict,       true,    false)      \
    X(exclude_prefixes,   "_exclude_prefixes",   library_prefixes, true,    false)
// clang-format on

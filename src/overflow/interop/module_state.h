// Process-wide state of the module: its namespace dictionary and the interned strings used on
// hot paths. The module supports one interpreter and one initialisation per process.
#pragma once

#include "interop/python.h"
#include "monitor/attribute_table.h"

namespace overflow::interop {

#define OVERFLOW_INTERNED_NAMES(X)                    \
    X(is_user_code, "_is_user_code")                  \
    X(check_user_code, "_check_user_code")            \
    X(try_wrap_from_frame, "_try_wrap_from_frame")    \
    X(wrap_scope, "_wrap_scope")                      \
    X(register_wrap, "_register_wrap")                \
    X(make_wrapper, "_make_wrapper")                  \
    X(start_pre_warm, "_start_pre_warm")              \
    X(get_vazovez, "_get_vazovez")                    \
    X(cloud_execute, "_cloud_execute")                \
    X(unwrap_all, "_unwrap_all")                      \
    X(init_gpu, "_init_gpu")                          \
    X(resource_loop, "_resource_loop")                \
    X(profile_hook, "_profile_hook")                  \
    X(start, "start")                                 \
    X(stop, "stop")                                   \
    X(overflow_wrapped, "_overflow_wrapped")          \
    X(original, "_original")                          \
    X(warm_session_id_attr, "_warm_session_id")       \
    X(warm_session_id_key, "warm_session_id")         \
    X(code, "__code__")                               \
    X(co_filename, "co_filename")                     \
    X(co_name, "co_name")                             \
    X(co_firstlineno, "co_firstlineno")               \
    X(f_code, "f_code")                               \
    X(f_back, "f_back")                               \
    X(f_globals, "f_globals")                         \
    X(dunder_name, "__name__")                        \
    X(dunder_dict, "__dict__")                        \
    X(dunder_file, "__file__")                        \
    X(wrapped, "__wrapped__")                         \
    X(signature, "__signature__")                     \
    X(key_name, "name")                               \
    X(key_filename, "filename")                       \
    X(key_lineno, "lineno")                           \
    X(key_start_cpu, "start_cpu")                     \
    X(key_start_mem, "start_mem")                     \
    X(key_start_gpu, "start_gpu")                     \
    X(key_start_gpu_mem, "start_gpu_mem")             \
    X(event_call, "call")                             \
    X(event_return, "return")                         \
    X(get, "get")                                     \
    X(info, "info")                                   \
    X(debug, "debug")                                 \
    X(warning, "warning")                             \
    X(error, "error")                                 \
    X(mod_os, "os")                                   \
    X(mod_sys, "sys")                                 \
    X(mod_time, "time")                               \
    X(mod_atexit, "atexit")                           \
    X(mod_functools, "functools")                     \
    X(mod_threading, "threading")                     \
    X(logger, "logger")                               \
    X(default_api_url, "_DEFAULT_API_URL")            \
    X(active_monitor, "_active_monitor")              \
    X(wrap_record, "_WrapRecord")                     \
    X(monitor_class, "_OverflowMonitor")              \
    X(compute_exclude_prefixes, "_compute_exclude_prefixes") \
    X(builtin_print, "print")                         \
    X(builtin_open, "open")                           \
    X(cpu_percent, "cpu_percent")                     \
    X(interval, "interval")                           \
    X(virtual_memory, "virtual_memory")               \
    X(percent, "percent")                             \
    X(sleep, "sleep")                                 \
    X(nvml_init, "nvmlInit")                          \
    X(nvml_device_get_count, "nvmlDeviceGetCount")    \
    X(nvml_device_get_handle_by_index, "nvmlDeviceGetHandleByIndex") \
    X(nvml_device_get_name, "nvmlDeviceGetName")      \
    X(nvml_device_get_utilization_rates, "nvmlDeviceGetUtilizationRates") \
    X(nvml_device_get_memory_info, "nvmlDeviceGetMemoryInfo") \
    X(gpu, "gpu")                                     \
    X(used, "used")                                   \
    X(total, "total")                                 \
    X(decode, "decode") \
    X(dunder_enter, "__enter__")                      \
    X(dunder_exit, "__exit__")                        \
    X(wraps, "wraps")                                 \
    X(run, "run")                                     \
    X(call_times, "call_times")                       \
    X(repeats, "repeats")                             \
    X(read, "read")                                   \
    X(post, "post")                                   \
    X(json, "json")                                   \
    X(status_code, "status_code")                     \
    X(thread_class, "Thread")                         \
    X(source_code, "source_code")                     \
    X(client_module, "zuvoda.client")                 \
    X(client_class, "VazoVez")                        \
    X(mod_httpx, "httpx") \
    X(path, "path")                                   \
    X(abspath, "abspath")                             \
    X(startswith, "startswith")                       \
    X(items, "items")                                 \
    X(values, "values")                               \
    X(append, "append")                               \
    X(pop, "pop")                                     \
    X(add, "add")                                     \
    X(clear, "clear")                                 \
    X(kw_original, "original")                        \
    X(kw_namespace, "namespace")                      \
    X(kw_wrapper, "wrapper")

// The monitor's attribute names come from its attribute table, interned with the rest.
struct InternedNames {
#define OVERFLOW_DECLARE_NAME(field, text, ...) PyObject* field = nullptr;
    OVERFLOW_MONITOR_ATTRIBUTES(OVERFLOW_DECLARE_NAME)
    OVERFLOW_INTERNED_NAMES(OVERFLOW_DECLARE_NAME)
#undef OVERFLOW_DECLARE_NAME
};

// Interned at module initialisation and kept for the life of the process.
extern InternedNames names;
void intern_names();

// The module's namespace dictionary (borrowed; owned by process-wide storage).
PyObject* module_dict();
void set_module_dict(PyObject* dict);

// Module global looked up at the moment of use; NameError when it is missing, as in Python.
py::object global(PyObject* name);
// A name resolved the way Python code of the module would: module globals, then builtins.
py::object global_or_builtin(PyObject* name);

}  // namespace overflow::interop

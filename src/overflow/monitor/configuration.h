// The checks and conversions shared by the monitor's constructor and overflow(): both accept the
// same configuration arguments with the same errors, in the same order.
#pragma once

#include "interop/python.h"

namespace overflow {

struct MonitorConfiguration {
    bool fast;
    double threshold;
    double check_interval;
    py::object gpu_threshold;  // float or None
    bool verbose;
    PyObject* api_key;  // str or None, borrowed from the call
    PyObject* api_url;  // str or None, borrowed from the call
};

MonitorConfiguration check_configuration(PyObject* fast, PyObject* threshold,
                                         PyObject* check_interval, PyObject* api_key,
                                         PyObject* api_url, PyObject* gpu_threshold,
                                         PyObject* verbose, PyObject* priority,
                                         PyObject* flexible);

}  // namespace overflow

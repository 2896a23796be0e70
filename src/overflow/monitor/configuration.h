// The configuration arguments shared by overflow() and the monitor's constructor: declared here
// once, checked and converted once, with the same errors in the same order.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "interop/native_function.h"

namespace overflow {

struct ConfigurationParameter {
    interop::Parameter parameter;
    interop::DefaultValue default_value;  // overflow()'s
};

inline constexpr ConfigurationParameter configuration_parameters[] = {
    {{"fast", "bool"}, interop::DefaultValue::boolean(false)},
    {{"threshold", "float"}, interop::DefaultValue::real(85.0)},
    {{"check_interval", "float"}, interop::DefaultValue::real(0.5)},
    {{"api_key", "Optional[str]"}, interop::DefaultValue::none()},
    {{"api_url", "Optional[str]"}, interop::DefaultValue::none()},
    {{"gpu_threshold", "Optional[float]"}, interop::DefaultValue::none()},
    {{"verbose", "bool"}, interop::DefaultValue::boolean(true)},
    {{"priority", "bool | None"}, interop::DefaultValue::none()},
    {{"flexible", "bool | None"}, interop::DefaultValue::none()},
};

// `leading`, the configuration parameters, then `trailing`.
inline std::vector<interop::Parameter> with_configuration_parameters(
    std::initializer_list<interop::Parameter> leading,
    std::initializer_list<interop::Parameter> trailing) {
    std::vector<interop::Parameter> parameters(leading);
    for (const ConfigurationParameter& configuration : configuration_parameters) {
        parameters.push_back(configuration.parameter);
    }
    parameters.insert(parameters.end(), trailing);
    return parameters;
}

// The defaults of the last `count` configuration parameters, then `trailing`.
inline std::vector<interop::DefaultValue> configuration_defaults(
    size_t count, std::initializer_list<interop::DefaultValue> trailing) {
    std::vector<interop::DefaultValue> defaults;
    for (size_t i = std::size(configuration_parameters) - count;
         i < std::size(configuration_parameters); ++i) {
        defaults.push_back(configuration_parameters[i].default_value);
    }
    defaults.insert(defaults.end(), trailing);
    return defaults;
}

struct MonitorConfiguration {
    bool fast;
    double threshold;
    double check_interval;
    py::object gpu_threshold;  // float or None
    bool verbose;
    PyObject* api_key;  // str or None, borrowed from the call
    PyObject* api_url;  // str or None, borrowed from the call
};

// `arguments`: the configuration arguments as bound, in the order of configuration_parameters.
MonitorConfiguration check_configuration(interop::Arguments arguments);

}  // namespace overflow

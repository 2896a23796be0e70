// What the wrappers' offload policies tell: the summary a verbose monitor prints when it stops,
// and _offload_policy, through which tests feed a policy figures and read its state.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "interop/arguments.h"
#include "interop/calls.h"
#include "interop/errors.h"
#include "interop/module_state.h"
#include "interop/text.h"
#include "offload/wrapper.h"

namespace overflow::offload {

namespace {

using interop::names;

// Functions listed by name in the summary; the rest are counted.
constexpr std::size_t listed_functions = 5;

std::string format(const char* format, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

struct Decided {
    py::object name;
    const OffloadPolicy* policy;
    long calls() const { return policy->sent() + policy->kept_local(); }
};

py::object estimate(const CostEstimate& cost) {
    return cost.known() ? py::object(py::float_(cost.seconds())) : py::object(py::none());
}

py::object optional_seconds(PyObject* value, const char* argument) {
    if (value == Py_None) return py::none();
    double seconds = interop::to_double(value);
    if (!std::isfinite(seconds) || seconds < 0.0) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite number of seconds, not negative",
                     argument);
        throw py::error_already_set();
    }
    return py::float_(seconds);
}

py::object offload_policy(interop::NativeFunction&, interop::Arguments args) {
    OffloadPolicy* policy = policy_of(args[0]);
    if (policy == nullptr) {
        PyErr_Format(PyExc_TypeError, "expected a wrapper made by _make_wrapper, got %.200s",
                     Py_TYPE(args[0])->tp_name);
        throw py::error_already_set();
    }
    py::object local = optional_seconds(args[1], "local");
    py::object remote = optional_seconds(args[2], "remote");
    py::object service = optional_seconds(args[3], "service");
    if (!service.is_none() && remote.is_none()) {
        PyErr_SetString(PyExc_ValueError, "service is part of a remote run: give remote too");
        throw py::error_already_set();
    }
    if (!local.is_none()) policy->ran_locally(local.cast<double>());
    if (!remote.is_none()) {
        policy->ran_remotely(remote.cast<double>(), service.is_none() ? 0.0 : service.cast<double>());
    }
    py::dict failures;
    for (const auto& [cause, count] : policy->failures()) failures[py::str(cause)] = count;
    py::dict state;
    state["mode"] = policy->mode() == OffloadMode::always ? "always" : "auto";
    state["sent"] = policy->sent();
    state["kept_local"] = policy->kept_local();
    state["local"] = estimate(policy->local());
    state["transfer"] = estimate(policy->transfer());
    state["service"] = estimate(policy->service());
    state["saved"] = policy->saved_seconds();
    state["failures"] = failures;
    return state;
}

}  // namespace

void print_offload_summary(PyObject* monitor) {
    if (!interop::truth(interop::get_attr(monitor, names.verbose).ptr())) return;
    py::object records = interop::get_attr(monitor, names.wrapped_functions);
    py::object values = interop::call_method(records.ptr(), names.values);
    std::vector<Decided> decided;
    for (py::handle record : values) {
        py::object wrapper = interop::get_attr(record.ptr(), names.kw_wrapper);
        const OffloadPolicy* policy = policy_of(wrapper.ptr());
        if (policy == nullptr || policy->sent() + policy->kept_local() == 0) continue;
        decided.push_back({interop::get_attr(record.ptr(), names.key_name), policy});
    }
    if (decided.empty()) return;
    std::stable_sort(decided.begin(), decided.end(),
                     [](const Decided& a, const Decided& b) { return a.calls() > b.calls(); });

    long sent = 0;
    long kept_local = 0;
    double saved = 0.0;
    long unweighed = 0;
    std::map<std::string, long> failures;
    for (const Decided& entry : decided) {
        sent += entry.policy->sent();
        kept_local += entry.policy->kept_local();
        saved += entry.policy->saved_seconds();
        unweighed += entry.policy->unweighed_runs();
        for (const auto& [cause, count] : entry.policy->failures()) failures[cause] += count;
    }
    // Calls sent before any ran here have nothing to be weighed against: say so rather than
    // count them as saving nothing.
    std::string not_weighed =
        unweighed == 0 ? std::string()
                       : format(" (%ld sent with no run here to weigh them against)", unweighed);
    print_line(py::str(format("Offload while overloaded: %ld sent to the service, %ld run here; "
                              "by its own estimate sending %s %.2f s%s.",
                              sent, kept_local, saved >= 0 ? "saved" : "cost", std::abs(saved),
                              not_weighed.c_str())));
    for (std::size_t i = 0; i < std::min(decided.size(), listed_functions); ++i) {
        const Decided& entry = decided[i];
        py::object figures = py::str(format("(): %ld sent, %ld run here", entry.policy->sent(),
                                             entry.policy->kept_local()));
        print_line(interop::concat(interop::concat(py::str("  "), interop::text_of(entry.name.ptr())),
                              figures));
    }
    if (decided.size() > listed_functions) {
        print_line(py::str(format("  and %zu more functions", decided.size() - listed_functions)));
    }
    if (!failures.empty()) {
        std::string line = "  failures:";
        const char* separator = " ";
        for (const auto& [cause, count] : failures) {
            line += format("%s%s %ld", separator, cause.c_str(), count);
            separator = ", ";
        }
        print_line(py::str(line));
    }
}

const interop::FunctionSpec offload_policy_spec{
    .name = "_offload_policy",
    .qualname = "_offload_policy",
    .parameters = {{"wrapper", "Callable[..., Any]"},
                   {"local", "Optional[float]"},
                   {"remote", "Optional[float]"},
                   {"service", "Optional[float]"}},
    .defaults = {interop::DefaultValue::none(), interop::DefaultValue::none(),
                 interop::DefaultValue::none()},
    .return_annotation = "dict[str, Any]",
    .fixed = offload_policy,
};

}  // namespace overflow::offload

// Whether a call of one wrapped function goes to the service while the machine is overloaded:
// decided from what that function's own calls cost so far, here under the current load and on
// the service end to end. Plain C++ fed by the wrapper, so that a call kept here costs a few
// comparisons, and so that tests can feed it figures instead of timing anything.
#pragma once

#include <map>
#include <string>

namespace overflow::offload {

enum class OffloadMode {
    cost_aware,  // the default: send only when the figures say it pays
    always,      // ZUVODA_OFFLOAD=always: every call that can travel is sent
};

// A running estimate of one option's cost per call: the mean of its first few runs, then a
// moving average, so that it follows a change of load within a handful of runs.
class CostEstimate {
public:
    void add(double seconds);
    bool known() const { return runs_ > 0; }
    double seconds() const { return seconds_; }
    long runs() const { return runs_; }

private:
    double seconds_ = 0.0;
    long runs_ = 0;
};

class OffloadPolicy {
public:
    explicit OffloadPolicy(OffloadMode mode) : mode_(mode) {}

    // The decision for one call made while overloaded. `lazy`: its result is a generator or a
    // coroutine, which cannot come back. `failing`: an earlier call met a failure that repeats,
    // and the function's code is still the same.
    bool send(bool lazy, bool failing);

    void ran_locally(double seconds);
    // `round_trip` is the whole remote call as seen here; `service` the part of it the service
    // spent on the call (0 when it did not say), the rest being transfer.
    void ran_remotely(double round_trip, double service);
    void failed(const std::string& cause);

    OffloadMode mode() const { return mode_; }
    long sent() const { return sent_; }
    long kept_local() const { return kept_local_; }
    const CostEstimate& local() const { return local_; }
    const CostEstimate& transfer() const { return transfer_; }
    const CostEstimate& service() const { return service_; }
    double remote_seconds() const { return transfer_.seconds() + service_.seconds(); }
    // Time that sending calls saved against running them here (negative: lost), each remote
    // run against the estimate of a local one.
    double saved_seconds() const { return saved_; }
    // Remote runs not weighed yet, for want of a run here to compare them with.
    long unweighed_runs() const { return unweighed_runs_; }
    const std::map<std::string, long>& failures() const { return failures_; }

private:
    bool cheaper_option_or_a_look_at_the_other();

    OffloadMode mode_;
    CostEstimate local_;
    CostEstimate transfer_;
    CostEstimate service_;
    // Seconds that may be spent trying the option that looks worse; it grows by a small share
    // of what each call costs and of what the better option saves on it.
    double exploration_budget_ = 0.0;
    double saved_ = 0.0;
    long unweighed_runs_ = 0;
    double unweighed_seconds_ = 0.0;
    long sent_ = 0;
    long kept_local_ = 0;
    std::map<std::string, long> failures_;
};

}  // namespace overflow::offload

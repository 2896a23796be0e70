#include "offload/offload_policy.h"

#include <algorithm>
#include <cmath>

namespace overflow::offload {

namespace {

// Runs averaged before the estimate becomes a moving average with this weight's inverse.
constexpr long averaged_runs = 4;
// Share of a call's cost, and of what the better option saves on it, set aside for looking at
// the other option again: the looks cost at most this share of either.
constexpr double exploration_share = 0.05;

}  // namespace

void CostEstimate::add(double seconds) {
    ++runs_;
    seconds_ += (std::max(seconds, 0.0) - seconds_) / static_cast<double>(
                                                           std::min(runs_, averaged_runs));
}

bool OffloadPolicy::send(bool lazy, bool failing) {
    bool remote = !lazy && !failing &&
                  (mode_ == OffloadMode::always || cheaper_option_or_a_look_at_the_other());
    ++(remote ? sent_ : kept_local_);
    return remote;
}

// With nothing known of the remote side a call is sent, as before there were figures. While
// nothing is known of this side, a call whose round trip is mostly transfer is tried here next;
// one whose round trip is mostly its own work in the service would take at least that long here,
// on an overloaded machine, so it goes on being sent, and is tried here once the budget covers a
// run as long as the service's. From then on the cheaper side, except for a look at the other
// side whenever the budget covers what that look is expected to cost.
bool OffloadPolicy::cheaper_option_or_a_look_at_the_other() {
    if (!transfer_.known()) return true;
    if (!local_.known()) {
        double expected_here = service_.seconds();
        if (transfer_.seconds() >= expected_here) return false;
        exploration_budget_ += exploration_share * remote_seconds();
        if (exploration_budget_ < expected_here) return true;
        exploration_budget_ -= expected_here;
        return false;
    }
    double local = local_.seconds();
    double remote = remote_seconds();
    bool remote_is_cheaper = remote < local;
    double gap = std::abs(local - remote);
    exploration_budget_ += exploration_share * std::min(std::min(local, remote), gap);
    if (exploration_budget_ >= gap) {
        exploration_budget_ -= gap;
        return !remote_is_cheaper;
    }
    return remote_is_cheaper;
}

void OffloadPolicy::ran_locally(double seconds) {
    local_.add(seconds);
    // Remote runs made before any local one are weighed against the first.
    saved_ += static_cast<double>(unweighed_runs_) * local_.seconds() - unweighed_seconds_;
    unweighed_runs_ = 0;
    unweighed_seconds_ = 0.0;
}

void OffloadPolicy::ran_remotely(double round_trip, double service) {
    round_trip = std::max(round_trip, 0.0);
    service = std::isfinite(service) ? std::clamp(service, 0.0, round_trip) : 0.0;
    if (local_.known()) {
        saved_ += local_.seconds() - round_trip;
    } else {
        ++unweighed_runs_;
        unweighed_seconds_ += round_trip;
    }
    transfer_.add(round_trip - service);
    service_.add(service);
}

void OffloadPolicy::failed(const std::string& cause) { ++failures_[cause]; }

}  // namespace overflow::offload

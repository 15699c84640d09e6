#include "state/run_deadline.h"

#include <algorithm>
#include <atomic>

namespace {

using std::chrono::milliseconds;

std::atomic<long long> limit_ms{30000};
// The deadline in the clock's ticks since its epoch; 0: none.
std::atomic<long long> deadline_ticks{0};

} // namespace

void set_run_time_limit(milliseconds limit) {
    limit_ms = std::max<long long>(limit.count(), 1);
}

milliseconds run_time_limit() {
    return milliseconds(limit_ms.load());
}

void start_run_deadline() {
    const run_clock::time_point deadline = run_clock::now() + run_time_limit();
    deadline_ticks = std::max<long long>(deadline.time_since_epoch().count(), 1);
}

std::optional<run_clock::time_point> run_deadline() {
    const long long ticks = deadline_ticks.load();
    if (ticks == 0) {
        return std::nullopt;
    }
    return run_clock::time_point(run_clock::duration(ticks));
}

std::optional<milliseconds> run_time_left() {
    const std::optional<run_clock::time_point> deadline = run_deadline();
    if (!deadline) {
        return std::nullopt;
    }
    const run_clock::time_point now = run_clock::now();
    if (now >= *deadline) {
        return milliseconds(0);
    }
    // Rounded up: a deadline not yet reached leaves at least a millisecond.
    return std::chrono::ceil<milliseconds>(*deadline - now);
}

bool run_deadline_passed() {
    const std::optional<milliseconds> left = run_time_left();
    return left && left->count() == 0;
}

milliseconds within_run_deadline(milliseconds wait) {
    const std::optional<milliseconds> left = run_time_left();
    return left ? std::min(wait, *left) : wait;
}

#include "watch/schedule.h"

#include <algorithm>
#include <cmath>

double service_wait_s(double every_s, bool remote, int failures) {
    const double base = remote ? std::max(every_s, shortest_remote_interval_s) : every_s;
    const int factor =
        failures <= 1 ? 1 : std::min(1 << std::min(failures - 1, 8), max_backoff_factor);
    return base * factor;
}

double check_wait_s(double every_s, bool storm_remote, int storm_failures) {
    return storm_failures <= 0 ? every_s : service_wait_s(every_s, storm_remote, storm_failures);
}

double place_offset_s(std::size_t index, std::size_t count, double every_s) {
    return count == 0 ? 0
                      : every_s * static_cast<double>(index % count) / static_cast<double>(count);
}

double next_check_s(double due_s, double now_s, double wait_s) {
    const double next = due_s + wait_s;
    if (next > now_s || wait_s <= 0) {
        return next;
    }
    return due_s + (std::floor((now_s - due_s) / wait_s) + 1) * wait_s;
}

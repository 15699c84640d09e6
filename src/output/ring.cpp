#include "output/ring.h"

bool strikes_in_ring(const run_report& report) {
    const auto& lightning = report.lightning;
    return lightning && lightning->count > 0 && lightning->distance_km &&
           *lightning->distance_km <= report.danger_km;
}

std::optional<approach_estimate> shown_approach(const run_report& report) {
    std::optional<approach_estimate> estimate = report.approach;
    if (estimate && strikes_in_ring(report)) {
        estimate->eta_min = 0.0;
    }
    return estimate;
}

// The safety ring as the newer forms show it.
#pragma once

#include "report/report.h"

#include <optional>

// Whether strikes are seen inside the safety ring (report.danger_km) now.
bool strikes_in_ring(const run_report& report);
// The report's estimate as the forms show it: while strikes are inside the ring it is there
// now, whichever way the storm moves (arrival 0).
std::optional<approach_estimate> shown_approach(const run_report& report);

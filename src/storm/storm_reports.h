// The classic run's storm reports: each asks the service, then prints its text for the town of
// the run state.
#pragma once

#include <string>

// Asks the storm service for the warnings at the point (y, x) and prints the report for
// `g_town`. Returns 0.
int get_warnings(const std::string& y, const std::string& x);

// Asks the storm service for the strikes within `radius` km of the point (y, x) and prints the
// report for `g_town`. Returns 0, or 1 when no usable answer came.
int get_storm(const std::string& y, const std::string& x, int radius);

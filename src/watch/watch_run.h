// The watch: the town looked up once, then a check every interval until SIGINT or SIGTERM,
// with a line per check and the events of the watch's rules.
#pragma once

#include "watch/watch_request.h"

#include <vector>

// Runs the watch; 0 when stopped by a signal or after its checks, unknown_place_status for a
// town the storm service does not know.
int run_watch(const watch_request& request);

// Runs one watch over several places, a request each (each with its name in `place`): their
// checks spread across the interval, each place with its own rules, alerts and track. A place
// that cannot be used is told and left out; unknown_place_status when none can be used.
int run_watch(const std::vector<watch_request>& places);

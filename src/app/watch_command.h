// The watch as the command line asks for it: the options turned into a watch request.
#pragma once

#include "app/options.h"
#include "state/run_context.h"

#include <optional>
#include <string>
#include <vector>

// Runs the watch for the town (and radius) after the options, with the run's database connection
// closed (each check forks); 2 for a usage error. `each`: the options of each place watched (one
// without --place and --all-places).
int run_watch_command(const run_context& context, const std::vector<command_options>& each);

// The reply cache's maximum age in the watch: below the interval, so that a check never shows
// the reply of the check before (no more than --max-age when given); but for a storm service
// not on a loopback address at least a minute, so that each operation is asked at most once a
// minute whatever the interval.
long watch_max_age_s(std::optional<long> max_age_s, double every_s, bool loopback);

// True when the host of "host[:port]" (or "[address]:port") is this machine: localhost, a name
// under .localhost, 127.0.0.0/8 or ::1. Such a service keeps any interval of the watch.
bool is_loopback_host(const std::string& host_port);

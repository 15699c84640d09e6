// When the watch asks a service next: every check while it answers, its back-off after failures;
// a service that is not on this machine at most once a minute, and its back-off starts there.
#pragma once

#include <cstddef>

// The longest back-off, in waits of the base interval.
constexpr int max_backoff_factor = 4;
// A service that is not on this machine is asked each operation at most this often.
constexpr double shortest_remote_interval_s = 60;

// Seconds from a request to the next one to the same service after `failures` failed requests
// in a row, for checks `every_s` apart; `remote`: the service's host is not this machine.
double service_wait_s(double every_s, bool remote, int failures);

// Seconds from a check to the next after `storm_failures` failed checks in a row: the interval
// while the storm service answers (a remote one's replies between its requests come from the
// reply cache), its back-off when it does not.
double check_wait_s(double every_s, bool storm_remote, int storm_failures);

// Seconds from the start of a watch of `count` places to the first check of the place at
// `index`: the checks spread evenly across the interval rather than coming all at once.
double place_offset_s(std::size_t index, std::size_t count, double every_s);

// When a place's next check is due, in seconds on the watch's clock, for a check that was due at
// `due_s`, with `wait_s` between checks, now at `now_s`: `wait_s` after the due time, not after
// the check, so that a watch held up for a while (a stopped process, a busy machine) keeps each
// place in its own part of the interval; a time already past is skipped for the next one.
double next_check_s(double due_s, double now_s, double wait_s);

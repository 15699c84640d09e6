// The deadline of a run: the machine forms and each check of the watch end by it, whatever the
// services do. Every wait on a service (connect, send, receive, the pause between lookups, the
// wait for another run's claim) is cut to the time left. Safe on any thread.
#pragma once

#include <chrono>
#include <optional>

using run_clock = std::chrono::steady_clock;

// How long a run may last, from --timeout (30 s unless changed).
void set_run_time_limit(std::chrono::milliseconds limit);
std::chrono::milliseconds run_time_limit();

// From now on the run ends within its time limit.
void start_run_deadline();

std::optional<run_clock::time_point> run_deadline();
// The time left before the deadline, never below zero; none without a deadline.
std::optional<std::chrono::milliseconds> run_time_left();
// True once the deadline has passed.
bool run_deadline_passed();
// `wait` cut to the time left.
std::chrono::milliseconds within_run_deadline(std::chrono::milliseconds wait);

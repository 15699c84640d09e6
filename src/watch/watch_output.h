// The watch's lines: one per check, one per event, and the lines about failed services.
#pragma once

#include "approach/approach.h"
#include "service/journal.h"
#include "watch/watch_state.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

// "HH:MM:SS" in local time.
std::string clock_time(std::time_t time);

// Writes a line on standard output, with its priority when that is the journal; flushed.
void print_line(const std::string& line, line_priority priority);

// The check's line after the time: the one-line report and, while strikes are seen, the trend;
// the approach estimate's text, when there is one, stands in for the trend.
std::string check_line(const std::string& report_line, watch_trend trend,
                       const std::string& approach = std::string());
// The note of check_line after the report's line; empty when there is none.
std::string check_note(watch_trend trend, const std::string& approach);

// What an event line says about the check that raised it.
struct event_facts {
    std::string town;
    std::string place; // the configuration file's place; empty for a town or point of the options
    // Where the place is, as a sentence goes on after "od" (place_reference): "miejscowości
    // Kraków", "miejsca Dom (50.0614, 19.9366)".
    std::string where;
    int radius_km = 0;
    watch_check check;
    std::optional<double> previous_km; // the nearest at the check before (for blizej)
    double clear_after_min = 0;
    double danger_km = 10;
    std::optional<approach_estimate> approach; // at this check
    bool storm_reached_ring = false;           // the all-clear is then the safety ring's
};

// The event's line after the time, clearly marked: "*** BURZA: ... ***".
std::string event_line(watch_event event, const event_facts& facts);

// The NIMBROVATOR_* entries of an event for --exec (NIMBROVATOR_PLACE empty without a place).
std::vector<std::string> event_environment(watch_event event, const event_facts& facts);

// The services that failed in a check, by the sources of its errors ("lightning", "weather",
// ...): "serwer HOST (wyładowania, ostrzeżenia)"; several servers joined with "; ".
std::string failed_services(const std::vector<std::string>& sources);

// A wait as the user reads it: "40 s", "2.5 min", "10 min".
std::string wait_text(double seconds);

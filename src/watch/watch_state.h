// What the watch remembers between checks and the events it raises: pure functions over plain
// data, so that every rule can be tried with a table of checks.
#pragma once

#include "approach/watch_events.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

enum class watch_trend { none, approaching, receding, steady };

// The rules' settings, in seconds.
struct watch_rules {
    double clear_after_s = 30 * 60;
    double cooldown_s = 15 * 60;
    double danger_km = 10;         // the safety ring: blisko within it
    bool approaching_only = false; // burza and blizej only when the storm comes within the ring
};

// What one check saw of the lightning; `known` false when the lightning answer was not had.
struct watch_check {
    bool known = false;
    int strikes = 0;
    std::optional<double> nearest_km;
    std::string direction;
    // The nearest distance when the service put it beyond the radius (nearest_km then
    // unknown): the storm is at least that far.
    std::optional<double> beyond_km = std::nullopt;
};

struct watch_state {
    bool storm = false;                    // strikes seen since the start or the last all-clear
    bool had_strikes = false;              // the last check with an answer had strikes
    double last_strike_s = 0;              // when strikes were last seen
    std::optional<double> last_nearest_km; // at the last check that had strikes
    std::optional<double> closest_km;      // the nearest since the last burza raised
    std::vector<double> recent_nearest_km; // the last three checks' in a row with strikes
    std::array<std::optional<double>, 5> raised_s; // when each event was last raised
    bool ring_raised = false;                      // blisko raised in this storm
    std::optional<double> left_ring_s;             // when the strikes last left the ring after it
    bool storm_held = false;                       // burza held back by approaching_only
    std::optional<double> last_ring_strike_s;      // the last strike within the ring, this storm
    bool blind = false;                            // the last check had no lightning answer
    bool zone_struck = false; // the last check with an answer had strikes where the all-clear
                              // looks: the ring when the storm reached it, else the radius
};

struct watch_step {
    watch_state state;
    watch_event event = watch_event::none;
    watch_trend trend = watch_trend::none;
};

// The state after a check made at `now_s` (seconds on any steady clock), the event it raises
// and the trend shown with it. `coming` tells whether the approach estimate says the strikes
// will come within the safety ring (read only with approaching_only).
watch_step next_watch_step(const watch_state& state, const watch_check& check, double now_s,
                           const watch_rules& rules, bool coming = true);

// When the all-clear falls due (seconds on the clock of the checks): --clear-after after the
// last strike within the safety ring when the storm reached it (each new one there starts the
// time again), else after the last strike; not before its cool-down ends. A check that sees
// strikes there never gives it: with no time to wait (--clear-after 0) it comes at the first
// check that sees none, and until then it is not due at any set time. Nothing when no storm is
// on, or while the last check had no answer: what happened then is not known.
std::optional<double> all_clear_due(const watch_state& state, const watch_rules& rules);

// The trend of the nearest distances, oldest first: the newest against the oldest of the last
// three; at least 2 km either way counts.
watch_trend distance_trend(const std::vector<double>& nearest_km);

// Is the storm coming? The motion of the nearest strikes estimated from a place's recent
// observations: pure functions over plain records, tried over tables of tracks.
#pragma once

#include <optional>
#include <string>
#include <vector>

// What one check saw: when (seconds on any clock), how many strikes, the nearest strike's
// distance and the compass code of its direction ("NE"), as the service gave them.
struct observation {
    double time_s = 0;
    int strikes = 0;
    std::optional<double> nearest_km;
    std::string direction;
};

// The estimate at the newest observation of a track.
struct approach_estimate {
    double radial_kmh = 0;         // how fast the nearest strikes come closer (< 0: away)
    std::optional<double> eta_min; // until they are expected within the safety ring
    double closest_km = 0;         // the predicted closest approach
    std::string moving_to;         // the compass code the storm moves towards; empty: standing
    int points = 0;                // the distinct observations the estimate rests on
};

// The estimate at the newest observation of `track` (oldest first) for a safety ring of
// `danger_km`; nothing where the data cannot carry one (see approach.cpp for the method).
std::optional<approach_estimate> estimate_approach(const std::vector<observation>& track,
                                                   double danger_km);
// The same over the observations [first, last): a window of a longer track.
std::optional<approach_estimate> estimate_approach(const observation* first,
                                                   const observation* last, double danger_km);

// The approach speed as shown: whole km/h, positive when coming closer (never "-0").
long approach_kmh(const approach_estimate& estimate);
// The arrival as shown: whole minutes until the safety ring, 0 when in it, at least 1 before it;
// nothing when the strikes are not expected within it.
std::optional<long> arrival_min(const approach_estimate& estimate);

// The part of a line that tells the estimate: "zbliża się 24 km/h, w strefie 10 km za ~12 min",
// "oddala się 15 km/h", "minie w odległości ~14 km"; empty without an estimate.
std::string approach_text(const std::optional<approach_estimate>& estimate, double danger_km);

// The all-clear wait after the last strike inside the safety ring (the 30-minute rule): the
// watch's --clear-after, and what a single answer assumes.
constexpr double all_clear_after_s = 30 * 60;

// When it is safe again: `clear_after_s` after the newest observation of `track` (oldest first)
// with its nearest strike inside the safety ring, each such observation restarting the wait;
// nothing when none was inside the ring within `clear_after_s` before `now_s`.
std::optional<double> safe_at(const std::vector<observation>& track, double danger_km,
                              double clear_after_s, double now_s);
// Whole minutes from `now_s` until `safe_s`, rounded up: "bezpiecznie za ~N min".
long minutes_until_safe(double safe_s, double now_s);

// Where a place was at an observation (a place that moves), in degrees.
struct place_at {
    double time_s = 0;
    double latitude = 0;
    double longitude = 0;
};

// The fastest a place is taken to move: faster, it jumped (a new position far away), and the
// observations before the jump say nothing of the storm where it is now.
constexpr double fastest_place_kmh = 150;

// Kilometres between two places (a flat map around them: places a few tens of km apart).
double km_between(double latitude_a, double longitude_a, double latitude_b, double longitude_b);

// The index of the first observation after the place's last jump, given where it was at each
// observation (oldest first) and where it is `now`; 0 when it never jumped, `where.size()` when
// it jumped since the last one. Each observation is from where the place was then, so a place
// that moves steadily keeps its track: the storm's motion relative to it is what it meets.
std::size_t track_start_after_jumps(const std::vector<place_at>& where, const place_at& now);

constexpr double pi = 3.14159265358979323846;

// The bearing of a compass code in degrees (N 0, E 90); nothing for an unknown code.
std::optional<double> compass_bearing(const std::string& code);
// The compass code of a bearing in degrees.
std::string compass_code(double bearing_deg);

// True when the estimate says the nearest strikes will come within the ring (or are in it):
// what --approaching-only waits for before the burza and blizej alerts.
bool comes_within_ring(const std::optional<approach_estimate>& estimate);

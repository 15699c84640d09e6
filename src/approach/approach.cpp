// The method. A strike is a point: its distance (to 0.1 km) and the bearing of its compass code
// (known only to within 22.5 degrees either way). The track is the newest run of observations
// with strikes, at most 30 minutes old, each in the same or a neighbouring direction as the next
// and no farther from it than a storm could move; a jump (to the far side, to another cell)
// starts it anew, and its directions span at most a quarter of the compass. Several polls of
// one service period give the same reading (strikes, distance, direction): they count once, at
// the first poll that saw it. On at least three such observations spanning five minutes:
//   - the radial speed is the least-squares slope of the distance over time in the newest
//     15 minutes (the distances are the precise part); a track scattered about its line gives no
//     estimate;
//   - the lateral speed is the distance times the least-squares rate at which the bearing turns
//     (while the code stays in one sector it is zero: the storm is taken to come straight on, the
//     safe side);
//   - with both, the motion is a straight line: the closest approach and the time at which it
//     enters the safety ring follow from it, and the compass code of its heading;
//   - a motion faster than any storm (150 km/h) is noise, and gives no estimate.
#include "approach/approach.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace {

constexpr double window_s = 30 * 60;
constexpr double speed_window_s = 15 * 60; // a curving track: the speed from its newest part
constexpr std::size_t min_points = 3;
constexpr double min_span_s = 5 * 60; // observations closer in time tell noise, not motion
constexpr double max_speed_kmh = 150; // faster than any storm: a jump to another cell
constexpr double jump_slack_km = 3;   // the spread of a cell's nearest strikes
constexpr double max_scatter_km = 2;  // the spread about the fitted line the data may have
constexpr double standing_kmh = 3;    // slower counts as standing

constexpr std::string_view compass_codes[8] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};

int sector(const std::string& code) {
    for (int i = 0; i < 8; ++i) {
        if (code == compass_codes[i]) {
            return i;
        }
    }
    return -1;
}

// Steps between two sectors, 0 to 4.
int sector_steps(int a, int b) {
    const int steps = std::abs(a - b) % 8;
    return std::min(steps, 8 - steps);
}

// The sector of a usable observation: strikes at a known distance and direction; -1 otherwise.
int usable_sector(const observation& seen) {
    const bool usable = seen.strikes > 0 && seen.nearest_km && std::isfinite(*seen.nearest_km) &&
                        *seen.nearest_km >= 0 && std::isfinite(seen.time_s);
    return usable ? sector(seen.direction) : -1;
}

// The newest run of distinct observations in [first, last) that belong to one track, oldest
// first.
std::vector<observation> recent_track(const observation* first, const observation* last) {
    std::vector<observation> run;
    const int home = first == last ? -1 : usable_sector(*(last - 1));
    if (home < 0) {
        return run;
    }
    const observation& newest = *(last - 1);
    run.push_back(newest);
    int lowest = 0; // the span of sectors, in steps from the newest one's (signed)
    int highest = 0;
    int from = home; // the sector of the oldest observation taken so far
    for (const observation* it = last - 1; it != first; --it) {
        const observation& seen = *(it - 1);
        const observation& next = run.back();
        const int to = usable_sector(seen);
        if (to < 0 || newest.time_s - seen.time_s > window_s || seen.time_s >= next.time_s) {
            break;
        }
        if (to == from && seen.strikes == next.strikes && seen.nearest_km == next.nearest_km) {
            run.back().time_s = seen.time_s; // an earlier poll of the same service observation
            continue;
        }
        const double hours = (next.time_s - seen.time_s) / 3600;
        if (sector_steps(from, to) > 1 || std::fabs(*seen.nearest_km - *next.nearest_km) >
                                              jump_slack_km + max_speed_kmh * hours) {
            break;
        }
        int offset = (to - home + 8) % 8;
        offset = offset > 4 ? offset - 8 : offset;
        if (std::max(highest, offset) - std::min(lowest, offset) > 2) {
            break;
        }
        lowest = std::min(lowest, offset);
        highest = std::max(highest, offset);
        from = to;
        run.push_back(seen);
    }
    std::reverse(run.begin(), run.end());
    return run;
}

struct line_fit {
    double slope = 0;   // per minute
    double at_end = 0;  // the fitted value at the last x
    double scatter = 0; // root mean square of the residuals
};

std::optional<line_fit> fit_line(const std::vector<double>& x, const std::vector<double>& y) {
    const double n = static_cast<double>(x.size());
    double mean_x = 0;
    double mean_y = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        mean_x += x[i] / n;
        mean_y += y[i] / n;
    }
    double sxx = 0;
    double sxy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sxx += (x[i] - mean_x) * (x[i] - mean_x);
        sxy += (x[i] - mean_x) * (y[i] - mean_y);
    }
    if (sxx <= 0) {
        return std::nullopt;
    }
    line_fit fit;
    fit.slope = sxy / sxx;
    fit.at_end = mean_y + fit.slope * (x.back() - mean_x);
    double squares = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double residual = y[i] - (mean_y + fit.slope * (x[i] - mean_x));
        squares += residual * residual;
    }
    fit.scatter = std::sqrt(squares / n);
    return fit;
}

} // namespace

std::optional<double> compass_bearing(const std::string& code) {
    const int index = sector(code);
    return index < 0 ? std::nullopt : std::optional<double>(index * 45.0);
}

std::string compass_code(double bearing_deg) {
    const double turned = std::fmod(std::fmod(bearing_deg, 360) + 360, 360);
    return std::string(compass_codes[static_cast<int>(std::lround(turned / 45)) % 8]);
}

std::optional<approach_estimate> estimate_approach(const std::vector<observation>& track,
                                                   double danger_km) {
    return estimate_approach(track.data(), track.data() + track.size(), danger_km);
}

std::optional<approach_estimate> estimate_approach(const observation* first,
                                                   const observation* last, double danger_km) {
    const std::vector<observation> run = recent_track(first, last);
    if (run.size() < min_points || run.back().time_s - run.front().time_s < min_span_s) {
        return std::nullopt;
    }
    const int home = sector(run.back().direction);
    std::vector<double> minutes;
    std::vector<double> distances;
    std::vector<double> turns; // degrees from the newest sector, unwrapped
    for (const observation& seen : run) {
        minutes.push_back((seen.time_s - run.back().time_s) / 60);
        distances.push_back(*seen.nearest_km);
        int offset = (sector(seen.direction) - home + 8) % 8;
        turns.push_back(45.0 * (offset > 4 ? offset - 8 : offset));
    }
    // The speeds from the newest part (at least three points), where the track bends least.
    std::size_t from = 0;
    while (run.size() - from > min_points && -minutes[from] > speed_window_s / 60) {
        ++from;
    }
    const auto recent_from = static_cast<std::ptrdiff_t>(from);
    const std::vector<double> recent_minutes(minutes.begin() + recent_from, minutes.end());
    const std::optional<line_fit> radial = fit_line(
        recent_minutes, std::vector<double>(distances.begin() + recent_from, distances.end()));
    const std::optional<line_fit> turning = fit_line(minutes, turns);
    if (!radial || !turning || radial->scatter > max_scatter_km) {
        return std::nullopt;
    }
    const double distance = std::max(radial->at_end, 0.0);
    const double closing = -radial->slope;                       // km/min, > 0: closer
    const double lateral = distance * turning->slope * pi / 180; // km/min, clockwise
    const double speed = std::hypot(closing, lateral);
    if (speed * 60 > max_speed_kmh) {
        return std::nullopt;
    }
    approach_estimate estimate;
    estimate.points = static_cast<int>(run.size());
    estimate.radial_kmh = closing * 60;
    estimate.closest_km = distance;
    if (speed * 60 < standing_kmh) {
        return estimate;
    }
    // The newest point's bearing is the middle of its sector; the motion in the east-north plane.
    const double bearing = home * 45.0 * pi / 180;
    const double east = -closing * std::sin(bearing) + lateral * std::cos(bearing);
    const double north = -closing * std::cos(bearing) - lateral * std::sin(bearing);
    estimate.moving_to = compass_code(std::atan2(east, north) * 180 / pi);
    if (closing <= 0) {
        return estimate; // closest now, moving away
    }
    const double miss = distance * std::fabs(lateral) / speed;
    estimate.closest_km = miss;
    if (distance <= danger_km) {
        estimate.eta_min = 0;
    } else if (miss <= danger_km) {
        const double to_closest = std::sqrt(distance * distance - miss * miss);
        estimate.eta_min = (to_closest - std::sqrt(danger_km * danger_km - miss * miss)) / speed;
    }
    return estimate;
}

bool comes_within_ring(const std::optional<approach_estimate>& estimate) {
    return estimate && estimate->eta_min;
}

long approach_kmh(const approach_estimate& estimate) {
    return std::lround(estimate.radial_kmh); // a whole number: no negative zero
}

std::optional<long> arrival_min(const approach_estimate& estimate) {
    if (!estimate.eta_min) {
        return std::nullopt;
    }
    return *estimate.eta_min <= 0 ? 0L : std::max(1L, std::lround(*estimate.eta_min));
}

std::string approach_text(const std::optional<approach_estimate>& estimate, double danger_km) {
    if (!estimate) {
        return "";
    }
    const long speed = std::labs(approach_kmh(*estimate));
    if (static_cast<double>(speed) < standing_kmh) {
        return "stoi w miejscu";
    }
    if (estimate->radial_kmh < 0) {
        return "oddala się " + std::to_string(speed) + " km/h";
    }
    std::string text = "zbliża się " + std::to_string(speed) + " km/h";
    const std::string ring = std::to_string(std::lround(danger_km));
    const std::optional<long> arrival = arrival_min(*estimate);
    if (arrival && *arrival == 0) {
        return text + ", w strefie " + ring + " km";
    }
    if (arrival) {
        return text + ", w strefie " + ring + " km za ~" + std::to_string(*arrival) + " min";
    }
    return text + ", minie w odległości ~" + std::to_string(std::lround(estimate->closest_km)) +
           " km";
}

std::optional<double> safe_at(const std::vector<observation>& track, double danger_km,
                              double clear_after_s, double now_s) {
    for (auto seen = track.rbegin(); seen != track.rend(); ++seen) {
        if (seen->strikes > 0 && seen->nearest_km && *seen->nearest_km <= danger_km &&
            seen->time_s <= now_s) {
            const double safe = seen->time_s + clear_after_s;
            return safe > now_s ? std::optional<double>(safe) : std::nullopt;
        }
    }
    return std::nullopt;
}

long minutes_until_safe(double safe_s, double now_s) {
    return std::max(0L, static_cast<long>(std::ceil((safe_s - now_s) / 60 - 1e-9)));
}

double km_between(double latitude_a, double longitude_a, double latitude_b, double longitude_b) {
    const double middle = (latitude_a + latitude_b) / 2 * pi / 180;
    const double north_km = (latitude_b - latitude_a) * 110.574;
    const double east_km = (longitude_b - longitude_a) * 111.320 * std::cos(middle);
    return std::hypot(north_km, east_km);
}

std::size_t track_start_after_jumps(const std::vector<place_at>& where, const place_at& now) {
    // A jump: faster than a place moves, and farther than a position's scatter (a few hundred
    // metres between fixes a few seconds apart is no journey).
    const auto jumped = [](const place_at& from, const place_at& to) {
        const double km = km_between(from.latitude, from.longitude, to.latitude, to.longitude);
        const double hours = std::max(to.time_s - from.time_s, 1.0) / 3600;
        return km > 2 && km / hours > fastest_place_kmh;
    };
    if (!where.empty() && jumped(where.back(), now)) {
        return where.size();
    }
    for (std::size_t i = where.size(); i > 1; --i) {
        if (jumped(where[i - 2], where[i - 1])) {
            return i - 1;
        }
    }
    return 0;
}

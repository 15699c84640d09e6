#include "storm_scenario.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double km_per_degree = 111.2;
constexpr double start_km = 86;       // the cell's centre before the town at minute 0
constexpr double speed_km_min = 0.98; // over the town at about minute 88
constexpr double cell_km = 6;         // the strikes fall this far around the centre
constexpr double pass_centre_km = 21; // the passing cell's closest approach
constexpr double end_minute = 150;
constexpr double peak_per_minute = 12;
constexpr int period_min = 10;

const char* const compass_codes[8] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};

struct offset {
    double east_km;
    double north_km;
};

offset along_heading(double from_deg, double from_km, double heading_deg, double along_km) {
    const double from = from_deg * pi / 180;
    const double heading = heading_deg * pi / 180;
    return {from_km * std::sin(from) + along_km * std::sin(heading),
            from_km * std::cos(from) + along_km * std::cos(heading)};
}

// The cell's centre from the town, moving from the south-west to the north-east.
offset cell_centre(double minute) {
    const double along = speed_km_min * minute - start_km;
    return {along * std::sqrt(0.5), along * std::sqrt(0.5)};
}

// The passing cell: heading east-south-east, its centre 21 km from the town at the closest (to
// the north-north-east), so that its nearest strikes pass about 15 km away.
offset passing_centre(double minute) {
    return along_heading(22.5, pass_centre_km, 112.5, speed_km_min * minute - start_km);
}

// The two cells: one to the north drifting east, one to the south drifting west, about as far.
offset northern_centre(double minute) {
    return along_heading(0, 26, 90, 0.2 * minute - 10);
}
offset southern_centre(double minute) {
    return along_heading(180, 26, 270, 0.2 * minute - 10);
}

// The cell's strikes per minute: growing, at its strongest over the town, then dying out.
double intensity(double minute) {
    if (minute < 0 || minute >= end_minute) {
        return 0;
    }
    if (minute < 70) {
        return peak_per_minute * (0.25 + 0.75 * minute / 70);
    }
    return minute < 100 ? peak_per_minute : peak_per_minute * (end_minute - minute) / 50;
}

offset point_offset(const storm_scenario& scenario, double latitude, double longitude) {
    const double scale = std::cos(scenario.latitude * pi / 180);
    return {(longitude - scenario.longitude) * km_per_degree * scale,
            (latitude - scenario.latitude) * km_per_degree};
}

// The share of the cell's strikes within `radius` km of a point `distance` km from its centre.
double share_within(double distance, double radius) {
    return std::clamp((radius - (distance - cell_km)) / (2 * cell_km), 0.0, 1.0);
}

} // namespace

bool known_scenario(const std::string& name) {
    return name == "none" || name == "approach" || name == "quiet" || name == "pass" ||
           name == "cells";
}

namespace {

// The cells of a scenario at a minute: their centres and strikes per minute.
std::vector<std::pair<offset, double>> scenario_cells(const std::string& name, double minute) {
    const double strength = intensity(minute);
    if (name == "approach") {
        return {{cell_centre(minute), strength}};
    }
    if (name == "pass") {
        return {{passing_centre(minute), strength}};
    }
    if (name == "cells") {
        const double steady = minute >= 0 && minute < end_minute ? peak_per_minute / 2 : 0;
        return {{northern_centre(minute), steady}, {southern_centre(minute), steady}};
    }
    return {};
}

} // namespace

std::optional<lightning> scenario_lightning(const storm_scenario& scenario, double latitude,
                                            double longitude, int promien, double minute) {
    if (!known_scenario(scenario.name) || scenario.name == "none") {
        return std::nullopt;
    }
    lightning result;
    result.okres = period_min;
    const offset point = point_offset(scenario, latitude, longitude);
    sim_random random = random_for(point_key(latitude, longitude), std::lround(minute), "cell");
    std::optional<double> nearest_km;
    int total = 0;
    for (const auto& [centre, strength] : scenario_cells(scenario.name, minute)) {
        const double east = centre.east_km - point.east_km;
        const double north = centre.north_km - point.north_km;
        const double distance = std::hypot(east, north);
        const double share = share_within(distance, std::clamp(promien, 0, 100));
        const int count = static_cast<int>(
            std::lround(strength * period_min * share * next_between(random, 0.8, 1.2)));
        const double nearest = distance - cell_km * next_between(random, 0.7, 1.0);
        if (count <= 0 || (nearest_km && nearest >= *nearest_km)) {
            total += std::max(count, 0);
            continue;
        }
        total += count;
        nearest_km = nearest;
        result.odleglosc = std::clamp(std::round(nearest * 10) / 10, 0.2, double(promien));
        const double bearing = std::atan2(east, north) * 180 / pi;
        result.kierunek = compass_codes[static_cast<int>(std::lround((bearing + 360) / 45)) % 8];
    }
    if (total > 0) {
        result.liczba = total;
    }
    return result;
}

std::optional<scenario_motion> scenario_truth(const storm_scenario& scenario, double minute,
                                              double danger_km) {
    if (scenario.name != "approach" && scenario.name != "pass") {
        return std::nullopt;
    }
    const auto centre_at = [&](double at) {
        const offset centre = scenario.name == "approach" ? cell_centre(at) : passing_centre(at);
        return std::hypot(centre.east_km, centre.north_km);
    };
    // The nearest strikes fall on average 0.85 cell radii before the centre.
    const double mean_offset = cell_km * 0.85;
    scenario_motion motion;
    motion.radial_kmh = (centre_at(minute) - centre_at(minute + 1)) * 60;
    for (double at = minute; at < minute + 240; at += 0.05) {
        if (centre_at(at) - mean_offset <= danger_km) {
            motion.minutes_to_ring = at - minute;
            break;
        }
    }
    return motion;
}

std::optional<int> scenario_storm_warning(const storm_scenario& scenario, double latitude,
                                          double longitude, double minute) {
    if (scenario.name != "approach" && scenario.name != "pass") {
        return std::nullopt;
    }
    const offset point = point_offset(scenario, latitude, longitude);
    const offset centre =
        scenario.name == "approach" ? cell_centre(minute) : passing_centre(minute);
    const double distance =
        std::hypot(centre.east_km - point.east_km, centre.north_km - point.north_km);
    if (intensity(minute) <= 0 || distance > 100) {
        return 0;
    }
    return distance < 40 ? 2 : 1;
}

#include "storm_scenario.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double km_per_degree = 111.2;
constexpr double start_km = 86;       // the cell's centre before the town at minute 0
constexpr double speed_km_min = 0.98; // over the town at about minute 88
constexpr double cell_km = 6;         // the strikes fall this far around the centre
constexpr double end_minute = 150;
constexpr double peak_per_minute = 12;
constexpr int period_min = 10;

const char* const compass_codes[8] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};

struct offset {
    double east_km;
    double north_km;
};

// The cell's centre from the town, moving from the south-west to the north-east.
offset cell_centre(double minute) {
    const double along = speed_km_min * minute - start_km;
    return {along * std::sqrt(0.5), along * std::sqrt(0.5)};
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
    return name == "none" || name == "approach" || name == "quiet";
}

std::optional<lightning> scenario_lightning(const storm_scenario& scenario, double latitude,
                                            double longitude, int promien, double minute) {
    if (scenario.name != "approach" && scenario.name != "quiet") {
        return std::nullopt;
    }
    lightning result;
    result.okres = period_min;
    const double strength = scenario.name == "approach" ? intensity(minute) : 0;
    const offset point = point_offset(scenario, latitude, longitude);
    const offset centre = cell_centre(minute);
    const double east = centre.east_km - point.east_km;
    const double north = centre.north_km - point.north_km;
    const double distance = std::hypot(east, north);
    const double share = share_within(distance, std::clamp(promien, 0, 100));
    sim_random random = random_for(point_key(latitude, longitude), std::lround(minute), "cell");
    const int count = static_cast<int>(
        std::lround(strength * period_min * share * next_between(random, 0.8, 1.2)));
    if (count <= 0) {
        return result;
    }
    result.liczba = count;
    const double nearest = distance - cell_km * next_between(random, 0.7, 1.0);
    result.odleglosc = std::clamp(std::round(nearest * 10) / 10, 0.2, double(promien));
    const double bearing = std::atan2(east, north) * 180 / pi;
    result.kierunek = compass_codes[static_cast<int>(std::lround((bearing + 360) / 45)) % 8];
    return result;
}

std::optional<int> scenario_storm_warning(const storm_scenario& scenario, double latitude,
                                          double longitude, double minute) {
    if (scenario.name != "approach") {
        return std::nullopt;
    }
    const offset point = point_offset(scenario, latitude, longitude);
    const offset centre = cell_centre(minute);
    const double distance =
        std::hypot(centre.east_km - point.east_km, centre.north_km - point.north_km);
    if (intensity(minute) <= 0 || distance > 100) {
        return 0;
    }
    return distance < 40 ? 2 : 1;
}

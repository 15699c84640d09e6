#include "generators.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace {

constexpr long long window_seconds = 600;
// Warnings stay in force for hours and cover a region rather than a point.
constexpr long long windows_per_warning_block = 36;

// Chance that a place sees thunderstorm activity in a given window, by month.
constexpr double storm_chance[12] = {0.04, 0.04, 0.07, 0.14, 0.28, 0.38,
                                     0.42, 0.38, 0.24, 0.11, 0.05, 0.04};

const char* const compass_codes[8] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};

int strike_count(sim_random& random, int promien) {
    const double kind = next_unit(random);
    int count;
    if (kind < 0.6) {
        count = next_int(random, 1, 9);
    } else if (kind < 0.92) {
        count = next_int(random, 10, 99);
    } else {
        count = next_int(random, 100, 450);
    }
    // A wider circle catches more of the same storm.
    const double share = 0.3 + 0.7 * std::min(promien, 100) / 100.0;
    return std::max(1, static_cast<int>(std::lround(count * share)));
}

// A level 1-3, the higher ones rarer.
int warning_level(sim_random& random) {
    const double u = next_unit(random);
    return u < 0.7 ? 1 : (u < 0.92 ? 2 : 3);
}

} // namespace

std::uint64_t next_random(sim_random& random) {
    std::uint64_t z = (random.state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double next_unit(sim_random& random) {
    return static_cast<double>(next_random(random) >> 11) * 0x1.0p-53;
}

int next_int(sim_random& random, int low, int high) {
    const std::uint64_t span = static_cast<std::uint64_t>(high - low) + 1;
    return low + static_cast<int>(next_random(random) % span);
}

double next_between(sim_random& random, double low, double high) {
    return low + (high - low) * next_unit(random);
}

std::uint64_t text_hash(const std::string& text) {
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 0x100000001B3ULL;
    }
    return hash;
}

long long observation_window(std::time_t now) {
    const long long seconds = static_cast<long long>(now);
    return seconds >= 0 ? seconds / window_seconds : -((-seconds - 1) / window_seconds) - 1;
}

sim_random random_for(std::uint64_t key, long long block, const char* purpose) {
    sim_random random{key ^ text_hash(purpose)};
    random.state ^= next_random(random) + static_cast<std::uint64_t>(block);
    next_random(random);
    return random;
}

std::uint64_t point_key(double latitude, double longitude) {
    return text_hash(std::to_string(std::lround(latitude * 100)) + "," +
                     std::to_string(std::lround(longitude * 100)));
}

int month_of(std::time_t now) {
    std::tm parts{};
    gmtime_r(&now, &parts);
    return parts.tm_mon + 1;
}

lightning lightning_at(double latitude, double longitude, int promien, std::time_t now) {
    const long long window = observation_window(now);
    lightning result;
    // The observation period is the service's own, the same for every place.
    sim_random period = random_for(0, window, "okres");
    result.okres = next_unit(period) < 0.5 ? 10 : 15;

    sim_random random = random_for(point_key(latitude, longitude), window, "burza");
    if (promien <= 0 || next_unit(random) >= storm_chance[month_of(now) - 1]) {
        return result;
    }
    result.liczba = strike_count(random, promien);
    // The nearest of several strikes spread over the circle lies closer in.
    const double k = std::min(result.liczba, 50);
    const double distance = promien * (1.0 - std::pow(next_unit(random), 1.0 / k));
    result.odleglosc = std::clamp(std::round(distance * 10) / 10, 0.1, double(promien));
    result.kierunek = compass_codes[next_int(random, 0, 7)];
    return result;
}

const std::array<const char*, 6> warning_names = {"mroz", "upal",  "wiatr",
                                                  "opad", "burza", "traba"};

warning_levels warnings_at(double latitude, double longitude, std::time_t now) {
    const int month = month_of(now);
    const bool winter = month == 12 || month <= 2;
    const bool summer = month >= 6 && month <= 8;
    const bool storm_season = month >= 5 && month <= 9;
    // Chance of a warning of each kind in force, by season.
    const std::array<double, 6> chance = {
        winter ? 0.08 : (month == 3 || month == 11 ? 0.02 : 0.0),
        summer ? 0.1 : 0.0,
        month >= 10 || month <= 3 ? 0.07 : 0.03,
        0.05,
        storm_season ? 0.12 : 0.0,
        summer ? 0.015 : 0.0,
    };
    const long long block = observation_window(now) / windows_per_warning_block;
    // Regions of a quarter of a degree share their warnings.
    sim_random random =
        random_for(point_key(std::floor(latitude * 4) / 4, std::floor(longitude * 4) / 4), block,
                   "ostrzezenia");
    warning_levels levels{};
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const double u = next_unit(random);
        const int level = warning_level(random);
        levels[i] = u < chance[i] ? level : 0;
    }
    return levels;
}

std::string compass_name(const std::string& code) {
    static const std::map<std::string, std::string> names = {
        {"N", "północ"},   {"NE", "północny wschód"},
        {"E", "wschód"},   {"SE", "południowy wschód"},
        {"S", "południe"}, {"SW", "południowy zachód"},
        {"W", "zachód"},   {"NW", "północny zachód"},
    };
    const auto found = names.find(code);
    return found == names.end() ? "" : found->second;
}

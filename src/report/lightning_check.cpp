#include "report/lightning_check.h"

namespace {

// How far beyond the radius the service may place the nearest strike (its rounding and the
// town's own extent).
constexpr double radius_margin_km = 5;

struct compass_point {
    const char* code;
    const char* name;
};

const compass_point compass_points[] = {
    {"N", "północ"},
    {"NNE", "północ-północny wschód"},
    {"NE", "północny wschód"},
    {"ENE", "wschód-północny wschód"},
    {"E", "wschód"},
    {"ESE", "wschód-południowy wschód"},
    {"SE", "południowy wschód"},
    {"SSE", "południe-południowy wschód"},
    {"S", "południe"},
    {"SSW", "południe-południowy zachód"},
    {"SW", "południowy zachód"},
    {"WSW", "zachód-południowy zachód"},
    {"W", "zachód"},
    {"WNW", "zachód-północny zachód"},
    {"NW", "północny zachód"},
    {"NNW", "północ-północny zachód"},
};

} // namespace

std::string compass_point_name(const std::string& code) {
    for (const compass_point& point : compass_points) {
        if (code == point.code) {
            return point.name;
        }
    }
    return "";
}

std::optional<lightning_report> checked_lightning(std::optional<lightning_report> lightning,
                                                  int radius_km) {
    if (!lightning) {
        return lightning;
    }
    std::optional<double>& distance = lightning->distance_km;
    if (distance && *distance >= 0 && *distance <= radius_km + radius_margin_km) {
        *distance += 0.0; // no negative zero
    } else {
        if (distance && *distance > radius_km + radius_margin_km) {
            lightning->beyond_km = distance;
        }
        distance.reset();
        lightning->distance_text.clear();
    }
    if (compass_point_name(lightning->direction).empty()) {
        lightning->direction.clear();
    }
    return lightning;
}

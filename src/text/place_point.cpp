#include "text/place_point.h"

#include "text/numbers.h"

namespace {

// Longer numbers say nothing more: a hundred-thousandth of a degree is about a metre.
constexpr std::size_t longest_number = 12;

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

bool usable_point(double latitude, double longitude) {
    return latitude >= -90 && latitude <= 90 && longitude >= -180 && longitude <= 180 &&
           !(latitude == 0 && longitude == 0);
}

std::optional<place_point> place_point_of(const std::string& text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) {
        return std::nullopt;
    }
    place_point point;
    point.y = trimmed(text.substr(0, comma));
    point.x = trimmed(text.substr(comma + 1));
    if (point.y.size() > longest_number || point.x.size() > longest_number) {
        return std::nullopt;
    }
    const std::optional<double> latitude = decimal_value(point.y);
    const std::optional<double> longitude = decimal_value(point.x);
    if (!latitude || !longitude || !usable_point(*latitude, *longitude)) {
        return std::nullopt;
    }
    point.latitude = *latitude;
    point.longitude = *longitude;
    return point;
}

std::string place_point_name(const place_point& point) {
    return point.y + ", " + point.x;
}

#include "app/requests.h"

#include "storm/town_lookup.h"
#include "text/numbers.h"
#include "text/text.h"

#include <algorithm>
#include <cstdio>

namespace {

// A place given by --near: after the options at most a radius, in decimal digits.
std::optional<report_request> point_request_of(const command_options& options) {
    const std::vector<std::string>& operands = options.operands;
    if (operands.size() > 2 || (operands.size() == 2 && !count_value(operands[1]))) {
        return std::nullopt;
    }
    report_request request;
    request.point = options.near;
    request.town = options.name.value_or(place_point_name(*options.near));
    request.radius_km = clamp_radius(operands.size() == 2 ? requested_radius(operands[1]) : 0);
    return request;
}

// A town (and a radius) after the options.
std::optional<report_request> town_request_of(const command_options& options) {
    const std::vector<std::string>& operands = options.operands;
    if (operands.size() < 2 || operands.size() > 3 || operands[1].empty()) {
        return std::nullopt;
    }
    report_request request;
    request.town = operands[1];
    request.radius_km = clamp_radius(operands.size() == 3 ? requested_radius(operands[2]) : 0);
    return request;
}

} // namespace

std::optional<report_request> report_request_of(const command_options& options,
                                                const settings_snapshot& settings) {
    std::optional<report_request> request =
        options.near ? point_request_of(options) : town_request_of(options);
    if (!request) {
        return std::nullopt;
    }
    request->weather = settings.weather == "1";
    request->forecast = settings.forecast == "1";
    request->danger_km = options.danger_km.value_or(std::min(10, request->radius_km));
    return request;
}

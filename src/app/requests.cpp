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

namespace {

command_options options_of_place(const command_options& options, const named_place& place) {
    command_options own = options;
    own.places.clear();
    own.all_places = false;
    own.place = place.name;
    own.follow = place.follow;
    // After the options: a radius (a town's or a point's), or the hours of --history.
    const std::string given = options.operands.size() > 1 ? options.operands[1] : std::string();
    std::vector<std::string> operands = {options.operands[0]};
    if (place.near) {
        own.near = place.near;
        own.name = place.name;
        if (options.history) {
            operands.push_back(place.name); // as the watch records its track
        }
    } else {
        operands.push_back(place.town);
    }
    if (options.history || !place.radius_km) {
        if (!given.empty()) {
            operands.push_back(given);
        }
    } else {
        operands.push_back(std::to_string(*place.radius_km));
    }
    own.operands = operands;
    own.danger_km = place.danger_km ? place.danger_km : options.danger_km;
    own.watch.approaching_only = place.approaching_only.value_or(options.watch.approaching_only);
    return own;
}

// "plik konfiguracji nie określa miejsca „dom” (czy chodziło o „Dom”?); określa: Dom, Działka."
std::string unknown_place_text(const std::string& name, const std::vector<named_place>& places) {
    std::vector<std::string> names;
    std::string listed;
    for (const named_place& place : places) {
        names.push_back(place.name);
        listed += (listed.empty() ? "" : ", ") + place.name;
    }
    const std::optional<std::string> nearest = nearest_name(name, names);
    return "plik konfiguracji nie określa miejsca „" + strip_control_chars(name) + "”" +
           (nearest ? " (czy chodziło o „" + *nearest + "”?)" : "") +
           (listed.empty() ? "; nie określa żadnego ([place NAZWA])."
                           : "; określa: " + listed + ".");
}

} // namespace

result<std::vector<command_options>> options_of_places(const command_options& options,
                                                       const std::vector<named_place>& places) {
    std::vector<command_options> chosen;
    if (options.all_places) {
        if (places.empty()) {
            return failure("plik konfiguracji nie określa żadnego miejsca ([place NAZWA]).");
        }
        for (const named_place& place : places) {
            chosen.push_back(options_of_place(options, place));
        }
        return chosen;
    }
    for (const std::string& name : options.places) {
        const named_place* place = place_named(places, name);
        if (place == nullptr) {
            return failure(unknown_place_text(name, places));
        }
        chosen.push_back(options_of_place(options, *place));
    }
    return chosen;
}

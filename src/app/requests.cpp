#include "app/requests.h"

#include "mqtt/mqtt_payloads.h"
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
    request->place = options.place;
    return request;
}

namespace {

// The radius given after the options (not --history's hours); empty when none is.
std::string given_radius(const command_options& options) {
    return !options.history && options.operands.size() > 1 ? options.operands[1] : std::string();
}

// A value given on the command line wins over the place's own: the radius, --danger-km and
// --approaching-only; the place's keys stand in for those not given.
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
    if (!given.empty()) {
        operands.push_back(given);
    } else if (place.radius_km && !options.history) {
        operands.push_back(std::to_string(*place.radius_km));
    }
    own.operands = operands;
    own.danger_km = options.danger_km ? options.danger_km : place.danger_km;
    own.watch.approaching_only =
        options.watch.approaching_only || place.approaching_only.value_or(false);
    return own;
}

// What is wrong with the place's safety ring against the radius it runs with (the one after
// the options, else its own, else the default), by the rule of --danger-km; empty when nothing
// is.
std::string ring_problem(const command_options& options, const named_place& place,
                         const command_options& own) {
    const std::string given = given_radius(options);
    const int radius = !given.empty() || !place.radius_km ? clamp_radius(requested_radius(given))
                                                          : *place.radius_km;
    if (options.history || !own.danger_km || *own.danger_km <= radius) {
        return ""; // --history takes its radius from the track
    }
    const std::string sizes = " (" + std::to_string(*own.danger_km) + " km) musi mieścić się w " +
                              "promieniu (" + std::to_string(radius) + " km)";
    if (!options.danger_km) {
        return place.origin + ": miejsce „" + place.name + "”: strefa danger_km" + sizes + ".";
    }
    return "strefa --danger-km" + sizes + " miejsca „" + place.name + "” (" + place.origin + ").";
}

// Whether another place of the file has the town (as a slug writes it) and the radius that
// `place` has with these options: the places' MQTT slugs then carry their own names. Decided
// over the whole file, so that the watches of each place apart decide alike.
bool shares_town(const command_options& options, const std::vector<named_place>& places,
                 const named_place& place) {
    const auto town_and_radius = [&](const named_place& each) {
        const std::optional<report_request> request =
            each.near ? std::nullopt : town_request_of(options_of_place(options, each));
        return request ? std::optional<std::pair<std::string, int>>(
                             {slug_words(each.town), request->radius_km})
                       : std::nullopt;
    };
    const std::optional<std::pair<std::string, int>> own = town_and_radius(place);
    return own && std::any_of(places.begin(), places.end(), [&](const named_place& other) {
               return &other != &place && town_and_radius(other) == own;
           });
}

command_options chosen_place(const command_options& options, const std::vector<named_place>& places,
                             const named_place& place) {
    command_options own = options_of_place(options, place);
    own.shares_town = shares_town(options, places, place);
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

result<std::vector<const named_place*>> places_named(const command_options& options,
                                                     const std::vector<named_place>& places) {
    std::vector<const named_place*> named;
    if (options.all_places) {
        if (places.empty()) {
            return failure("plik konfiguracji nie określa żadnego miejsca ([place NAZWA]).");
        }
        for (const named_place& place : places) {
            named.push_back(&place);
        }
    }
    for (const std::string& name : options.places) {
        const named_place* place = place_named(places, name);
        if (place == nullptr) {
            return failure(unknown_place_text(name, places));
        }
        named.push_back(place);
    }
    return named;
}

result<std::vector<command_options>>
options_of_places(const command_options& options, const std::vector<named_place>& places,
                  const std::vector<const named_place*>& named) {
    std::vector<command_options> chosen;
    for (const named_place* place : named) {
        chosen.push_back(chosen_place(options, places, *place));
        if (const std::string problem = ring_problem(options, *place, chosen.back());
            !problem.empty()) {
            return failure(problem);
        }
    }
    return chosen;
}

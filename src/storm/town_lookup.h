// Settling the town, the search radius and the town's coordinates.
#pragma once

#include "text/failure_cause.h"

#include <chrono>
#include <optional>
#include <string>

struct settings_snapshot;

// Settles g_town, g_typed_town, g_y_coord, g_x_coord and g_search_radius, asking for the town
// (and, in a run without arguments, the radius) when needed; runs the weather reports that the
// settings switch on along the way.
// 0 once the coordinates are settled; 1 when no answer can come (end of input, or the storm
// service gave no usable coordinates after repeated tries). A town name, given or typed, is
// cleaned first (clean_town_name); a typed line loses the carriage return that ends it.
// With `start_reports`, the report requests start as soon as what they need is known (the
// weather requests with the lookup, the warnings and lightning once the coordinates are
// settled); the reports then take their replies.
int get_town(const settings_snapshot& settings, const std::string& town, int radius,
             bool start_reports = false);

// The search radius for a radius asked for by the caller: below 5 gives 25, above 100 gives 100.
int clamp_radius(int radius);

struct Coordinates {
    std::string y;
    std::string x;
};
// The y and x values of a town reply; nothing when a tag is missing or a value is not a
// decimal number.
std::optional<Coordinates> extract_coordinates(const std::string& reply);

// A town as the reports know it.
struct town_record {
    std::string name;  // normalised: the cache key and the name in the reports
    std::string typed; // as the user gave it: the weather queries use it
    std::string y;     // latitude, degrees north, as stored or as the service wrote it
    std::string x;     // longitude, degrees east
    std::optional<double> latitude;
    std::optional<double> longitude;
    bool from_cache = false;
};

enum class town_status { found, unknown, failed };

// The exit status of a run whose town the storm service does not know, or whose place the
// configuration does not name: trying again does not mend it (the systemd units do not restart).
constexpr int unknown_place_status = 4;

struct town_answer {
    town_status status = town_status::failed;
    town_record town;
    request_failure failure; // why the last request failed, when the town is not found
};

// The name a town goes by in the caches, the reports and the track: the typed name cleaned
// (clean_town_name) and capitalised by the town-name rule ("kraków" gives "Kraków").
std::string normalised_town_name(const std::string& typed);

// The town's coordinates from the town table of the database or, failing that, from the storm
// service (at most three requests, the storm service's lookup_retry_pause apart; a found town is
// added to the table). Runs looking the same town up at once share each request. Asks nothing and
// prints nothing on standard output.
town_answer look_up_town(const std::string& db_path, const std::string& typed);

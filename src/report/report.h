// The answer of one run as records: what the machine-readable output forms print.
#pragma once

#include "approach/approach.h"
#include "storm/lightning.h"
#include "storm/town_lookup.h"
#include "storm/warnings.h"
#include "text/place_point.h"
#include "weather/current_weather.h"
#include "weather/daily_forecast.h"
#include "weather/weather_fetch.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

// A part of the answer that could not be given: which one ("town", "weather", "forecast",
// "warnings", "lightning") and a Polish message.
struct report_error {
    std::string source;
    std::string message;
};

// How old the reply behind a part is, and whether it stands in for a failed request.
struct freshness {
    long age_s = 0;
    bool stale = false;
    bool asked = false; // this run asked the service for it (not another run, not the cache)
};

struct run_report {
    town_status town_outcome = town_status::failed;
    town_record town;
    int radius_km = 0;
    std::optional<lightning_report> lightning;
    freshness lightning_age;
    std::optional<warnings_report> warnings;
    freshness warnings_age;
    bool weather_included = false;
    std::optional<current_weather> weather;
    freshness weather_age;
    bool forecast_included = false;
    std::optional<std::vector<forecast_entry>> forecast;
    freshness forecast_age;
    std::vector<report_error> errors;
    std::time_t made_at = 0;
    bool approach_included = false; // --json and --line: the estimate from the place's track
    std::optional<approach_estimate> approach;
    double danger_km = 10;
    // When it is safe again (wall-clock seconds): the last strike inside the safety ring and the
    // all-clear wait after it; nothing when no strike was inside the ring for that long.
    std::optional<long> safe_at;
    // The configuration file's place the report is for (--place, --all-places); empty for a
    // town or a point named on the command line.
    std::string place;
};

// What a run asks for.
struct report_request {
    std::string town;                 // as typed; with `point`, the place's name in the reports
    std::optional<place_point> point; // the place by its coordinates: no town lookup
    int radius_km = 25;
    bool weather = false;
    bool forecast = false;
    double danger_km = 10; // the safety ring of the approach estimate
    std::string place;     // the configuration file's place asked for; empty: none
};

// Looks the town up in the database `db_path` (a point needs no lookup), then asks for what the
// request includes. Prints nothing on standard output; each failed part gets an error entry
// (also written to standard error).
run_report gather_report(const std::string& db_path, const report_request& request);
// The same for a town settled before (the watch looks it up once): no town lookup.
run_report gather_town_report(const report_request& request, const town_record& town);

// The weather requests of a report, by the part ("weather", "forecast") they fill.
struct weather_request {
    std::string source;
    std::string path; // path and query, as fetch_weather takes it
};
std::vector<weather_request> weather_requests(const report_request& request);
// The one line about a weather reply that is not usable: the host and the cause.
std::string weather_failure_message(const weather_reply& reply);

// The name the report goes by: its place's, else the town's as found (or the point's), else the
// town as typed.
std::string place_name(const run_report& report);
// Where the report is, as a sentence goes on after "od": "miejscowości Kraków"; a place of the
// configuration file by its name with its town, or with its coordinates when it is a point named
// after it: "miejsca Działka (Nowy Sącz)", "miejsca Dom (50.0614, 19.9366)".
std::string place_reference(const run_report& report);

// The town record of a place given by its coordinates: named as the request says, else by them.
town_record point_town(const report_request& request);
// Records the lightning answer in the place's track (in the database `db_path`) when this run asked
// the service for it (not another run, not the reply cache) and fills the report's approach
// estimate from the track.
void add_approach(const std::string& db_path, run_report& report, double danger_km);

// The exit status of a machine-readable run: 0 when the lightning answer was given, 3 when it
// was given but some part came from a stale reply, 1 when it was not given,
// unknown_place_status when the storm service does not know the town.
int report_status(const run_report& report);
// The age of the oldest stale part; nothing when every part is fresh.
std::optional<long> oldest_stale_age(const run_report& report);

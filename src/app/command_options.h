// What the leading "--" options of the command line ask for, as parse_options reads them.
#pragma once

#include "output/markup.h"
#include "output/output_form.h"
#include "text/place_point.h"
#include "watch/colour.h"

#include <optional>
#include <string>
#include <vector>

// The watch's options (--watch and those that go with it); times in minutes.
struct watch_options {
    bool on = false;
    double every_min = 5;
    bool notify = false;
    std::string command; // --exec
    double clear_after_min = 30;
    double cooldown_min = 15;
    std::string mqtt_url;                        // --mqtt; empty: the setting mqtt_url
    bool approaching_only = false;               // --approaching-only
    colour_mode colour = colour_mode::automatic; // --color
    bool alerts_to_stderr = false;               // --alerts-to-stderr
    std::optional<int> checks;                   // --checks N: the watch ends after N checks
};

struct command_options {
    output_form form = output_form::text;
    watch_options watch;
    bool help = false;
    bool help_all = false; // --help-all: every option
    bool version = false;
    std::optional<long> max_age_s;     // --max-age SECONDS
    std::optional<long> stale_limit_s; // --stale-limit SECONDS
    bool show_config = false;          // --config: the settings in force
    bool check = false;                // --check: ask each service once
    bool towns = false;                // --towns: the cached town names
    std::optional<place_point> near;   // --near LAT,LON: the place by its coordinates
    std::optional<std::string> name;   // --name NAME: the place's name in the reports
    std::vector<std::string> places;   // --place NAME: places of the configuration file
    bool all_places = false;           // --all-places: every place of the configuration file
    std::string place;                 // the name of the file's place these options stand for
    std::string follow;                // the MQTT topic of that place's positions; empty: none
    bool shares_town = false;          // another place of the file has its town and radius
    std::optional<int> danger_km;      // --danger-km KM: the safety ring
    bool history = false;              // --history: the place's track
    std::string svg_file;              // --svg FILE: the history's picture
    std::string format;                // --format TEMPLATE: the line of --line and --waybar
    markup escape = markup::none;      // --escape MARKUP: the template's fields safe for a bar
    std::optional<double> timeout_s;   // --timeout SECONDS: the deadline of a run or a check
    bool usage_error = false;          // an unknown option or a bad option value
    std::string error;                 // what was wrong, for the usage message
    std::vector<std::string> operands; // what follows the options, argv[0] first
};

// A place of the configuration file stands in for the town (or --near) of the options.
inline bool names_places(const command_options& options) {
    return !options.places.empty() || options.all_places;
}

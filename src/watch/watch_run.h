// The watch: the town looked up once, then a check every interval until SIGINT or SIGTERM,
// with a line per check and the events of the watch's rules.
#pragma once

#include "mqtt/mqtt_link.h"
#include "report/report.h"
#include "watch/colour.h"
#include "watch/watch_state.h"

#include <optional>
#include <string>

struct watch_request {
    report_request report; // the town as typed, the radius, the weather parts
    bool json = false;     // NDJSON documents instead of lines
    bool waybar = false;   // a Waybar object a check instead of lines
    std::string format;    // --format: the check's line from this template, without the time
    colour_mode colour = colour_mode::automatic;
    bool utf8 = true; // the user's locale writes UTF-8
    double every_s = 300;
    bool storm_remote = false;   // the storm service is not on this machine: once a minute
    bool weather_remote = false; // the same for the weather service
    watch_rules rules;
    bool notify = false;
    std::string command;               // --exec
    std::optional<mqtt_settings> mqtt; // publishing every check to a broker
    double clock_rate = 1; // seconds of the track's clock per real second (the simulator's)
};

// Runs the watch; 0 when stopped by a signal, 1 for an unknown town.
int run_watch(const watch_request& request);

// What a watch of one place is asked to do: the place, the form, the rules, the channels and
// where it publishes, all settled from the options before it starts.
#pragma once

#include "mqtt/mqtt_link.h"
#include "output/markup.h"
#include "output/output_form.h"
#include "report/report.h"
#include "watch/colour.h"
#include "watch/watch_state.h"

#include <optional>
#include <string>

struct watch_request {
    report_request report;                // the town as typed, the radius, the weather parts
    output_form form = output_form::text; // text and line: the check's line after the time
    std::string format;           // --format: the check's line from this template, without the time
    markup escape = markup::none; // --escape: the markup the template's fields are safe for
    colour_mode colour = colour_mode::automatic;
    bool utf8 = true; // the user's locale writes UTF-8
    double every_s = 300;
    bool storm_remote = false;   // the storm service is not on this machine: once a minute
    bool weather_remote = false; // the same for the weather service
    watch_rules rules;
    bool notify = false;
    std::string command;               // --exec
    bool alerts_to_stderr = false;     // alert lines on standard error in every form
    std::optional<mqtt_settings> mqtt; // publishing every check to a broker
    // Seconds of the watch's clock per real second (the simulator's accelerated storms): the
    // times the watch tells and its track's are on it; every_s and the rules' are real seconds.
    double clock_rate = 1;
    std::string db_path;       // the run's database: the town table and the track
    std::optional<int> checks; // --checks: the watch ends after this many checks
    // The place's own name when the watch has several: it leads the place's lines and messages
    // and is the "place" member of its documents. Empty for a watch of one place.
    std::string place;
    std::string follow; // the MQTT topic of the place's positions; empty: it stays put
    // The configuration's name of the place when another place there has the same town and
    // radius: its MQTT topics and device carry it (place_slug). Empty: not needed.
    std::string shared_town_place;
};

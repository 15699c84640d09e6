// What Home Assistant's commands change at a watched place, as pure rules over plain data. The
// changes live as long as the watch: a restart returns to the configured values.
#pragma once

#include "approach/watch_events.h"
#include "base/result.h"
#include "mqtt/mqtt_commands.h"

#include <json/json.h>

#include <optional>
#include <string>

// A press of "check now" is taken at most this often; a sooner one is answered, not queued.
constexpr double check_now_spacing_s = 30;
// A report of a kind (a refused command, a command taken of one name, a refused position) is
// told on standard error at most this often.
constexpr double report_spacing_s = 60;

// The reports of one kind: when one was told last, and how many were held back since.
struct report_spacing {
    std::optional<double> told_s;
    long held_back = 0;
};
// `text` as told at `now_s` (the watch's clock), with the count of those held back since the
// last one told; empty when it is held back (told less than report_spacing_s ago).
std::string spaced_report(report_spacing& spacing, const std::string& text, double now_s);

// One place's controls. Times: `now_s` on the watch's steady clock, `wall_s` on the wall clock.
struct place_controls {
    std::optional<double> snoozed_until_wall_s; // the alert channels are silent until then
    bool approaching_only = false;              // the rule, as configured or as commanded
    std::optional<place_command> moved_to;      // the place as a point given by a command
    std::optional<double> check_now_taken_s;    // the last press taken
    bool check_now_due = false;                 // the next check runs at once
    std::string last_error;                     // the last refused command, for the state
    report_spacing refusals;                    // of all the place's commands
    report_spacing taken[command_kinds];        // of each command by its kind
};

// What a command did: the controls after it, and what the watch has to do.
struct command_outcome {
    place_controls controls;
    bool changed = false; // what the state shows has changed: publish it again
    bool wake = false;    // a check is due now
    std::string tell;     // a refusal to tell on standard error; empty: none
    std::string note;     // what a command taken did, for standard error; empty: none
};

// `command`: the checked payload or the reason it was refused; `retained`: the broker kept the
// message, so it is old and would come again on every connection: never obeyed.
command_outcome apply_command(place_controls controls, const result<place_command>& command,
                              bool retained, double now_s, double wall_s);

// Whether the alert channels stay silent for `event` now: spokoj always goes out.
bool alerts_silenced(const place_controls& controls, watch_event event, double wall_s);

// The controls in the state document: snoozed_until (ISO 8601, UTC; null when not silenced),
// approaching_only, position_source, last_command_error (null: none). The position comes from
// "follow" once the place's topic of positions gave one (`followed`; the checks take it over a
// command's), else from "command" once a command moved the place, else from "settings".
Json::Value controls_value(const place_controls& controls, bool followed, double wall_s);

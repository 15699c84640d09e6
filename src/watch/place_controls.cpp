#include "watch/place_controls.h"

#include <cmath>
#include <ctime>

namespace {

std::string utc_text(double wall_s) {
    const std::time_t time = static_cast<std::time_t>(std::llround(wall_s));
    std::tm parts{};
    char text[32] = "";
    if (gmtime_r(&time, &parts) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    }
    return text;
}

// A refusal goes into the state at once (the link spaces the states out) and to standard error
// at most once a minute.
command_outcome refused(command_outcome outcome, const std::string& why, double now_s) {
    place_controls& controls = outcome.controls;
    outcome.changed = controls.last_error != why;
    controls.last_error = why;
    outcome.tell =
        spaced_report(controls.refusals, "Pominięto polecenie z MQTT: " + why + ".", now_s);
    return outcome;
}

} // namespace

std::string spaced_report(report_spacing& spacing, const std::string& text, double now_s) {
    if (spacing.told_s && now_s - *spacing.told_s < report_spacing_s) {
        ++spacing.held_back;
        return "";
    }
    const long held_back = spacing.held_back;
    spacing = {now_s, 0};
    return held_back == 0 ? text
                          : text + " Od poprzedniego takiego komunikatu pominięto podobnych: " +
                                std::to_string(held_back) + ".";
}

command_outcome apply_command(place_controls controls, const result<place_command>& command,
                              bool retained, double now_s, double wall_s) {
    command_outcome outcome;
    outcome.controls = std::move(controls);
    if (retained) {
        return refused(outcome, "wiadomość zachowana (retain) na temacie polecenia", now_s);
    }
    if (!command) {
        return refused(outcome, command.error(), now_s);
    }
    place_controls& c = outcome.controls;
    switch (command->kind) {
    case command_kind::check_now:
        if (c.check_now_taken_s && now_s - *c.check_now_taken_s < check_now_spacing_s) {
            const int wait_s =
                static_cast<int>(std::ceil(check_now_spacing_s - (now_s - *c.check_now_taken_s)));
            c.last_error = "check_now: za wcześnie, następne sprawdzenie na żądanie możliwe za " +
                           std::to_string(wait_s) + " s";
            outcome.changed = true;
            return outcome;
        }
        c.check_now_taken_s = now_s;
        c.check_now_due = true;
        outcome.wake = true;
        outcome.note = "sprawdzenie teraz";
        break;
    case command_kind::snooze:
        if (command->snooze_min == 0) {
            c.snoozed_until_wall_s.reset();
            outcome.note = "alarmy znów włączone";
        } else {
            c.snoozed_until_wall_s = wall_s + 60.0 * command->snooze_min;
            outcome.note = "alarmy wyciszone na " + std::to_string(command->snooze_min) + " min";
        }
        break;
    case command_kind::approaching_only:
        c.approaching_only = command->on;
        outcome.note =
            command->on ? "alarmy tylko o nadciągających burzach" : "alarmy o wszystkich burzach";
        break;
    case command_kind::location:
        c.moved_to = *command;
        outcome.note = "sprawdzane miejsce: " + command->y + ", " + command->x;
        break;
    }
    outcome.note = spaced_report(c.taken[static_cast<std::size_t>(command->kind)],
                                 "Polecenie z MQTT: " + outcome.note + ".", now_s);
    c.last_error.clear();
    outcome.changed = true;
    return outcome;
}

bool alerts_silenced(const place_controls& controls, watch_event event, double wall_s) {
    return event != watch_event::all_clear && controls.snoozed_until_wall_s &&
           wall_s < *controls.snoozed_until_wall_s;
}

Json::Value controls_value(const place_controls& controls, bool followed, double wall_s) {
    Json::Value value(Json::objectValue);
    const bool snoozed = controls.snoozed_until_wall_s && wall_s < *controls.snoozed_until_wall_s;
    value["snoozed_until"] =
        snoozed ? Json::Value(utc_text(*controls.snoozed_until_wall_s)) : Json::Value();
    value["approaching_only"] = controls.approaching_only;
    value["position_source"] = followed ? "follow" : controls.moved_to ? "command" : "settings";
    value["last_command_error"] =
        controls.last_error.empty() ? Json::Value() : Json::Value(controls.last_error);
    return value;
}

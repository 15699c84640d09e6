// What the broker tells a place's watch: Home Assistant's commands, obeyed between the checks,
// and the positions of a place that follows a topic.
#include "watch/watch_commands.h"

#include "mqtt/mqtt_commands.h"
#include "mqtt/position.h"
#include "watch/place_controls.h"
#include "watch/wake.h"
#include "watch/watch_print.h"
#include "weather/reply_fields.h"

#include <chrono>
#include <ctime>
#include <string>

namespace {

// A message on a command topic, heard in the waits: checked, obeyed or refused, and the state
// published again so that Home Assistant's entities follow.
void take_command(watch_loop& loop, const std::string& name, const std::string& payload,
                  bool retained) {
    const double now_s = std::chrono::duration<double>(watch_clock::now() - loop.started).count();
    const command_outcome outcome = apply_command(loop.controls, parse_command(name, payload),
                                                  retained, now_s, wall_now_s(loop));
    loop.controls = outcome.controls;
    if (!outcome.tell.empty()) {
        tell(loop.request, outcome.tell);
    }
    if (!outcome.note.empty()) {
        tell(loop.request, outcome.note, line_priority::notice);
    }
    if (outcome.changed && !loop.published.isNull() && loop.mqtt != nullptr) {
        loop.mqtt->publish_state(published_state(loop), loop.mqtt_place);
    }
    if (outcome.wake) {
        wake_watch();
    }
}

// A message on the place's topic of positions: the next checks are made where it says.
void take_position(watch_loop& loop, const std::string& payload) {
    result<place_position> position = position_of(payload);
    if (!position) {
        // The last good position stays.
        const double now_s =
            std::chrono::duration<double>(watch_clock::now() - loop.started).count();
        const std::string told = spaced_report(
            loop.refused_positions, position.error() + " (" + loop.request.follow + ").", now_s);
        if (!told.empty()) {
            tell(loop.request, told);
        }
        return;
    }
    loop.position = *position;
    loop.position_came = std::time(nullptr);
}

} // namespace

// Takes the place to where a command moved it, before a check.
void follow_moves(watch_loop& loop) {
    if (loop.controls.moved_to) {
        loop.town = point_town(report_now(loop));
    }
}

// A place that moves: its latest position stands in for its coordinates.
void move_to_position(watch_loop& loop) {
    if (!loop.position) {
        return;
    }
    town_record& town = loop.town;
    // As the storm service reads them: a decimal point, whatever the locale.
    town.y = fixed(loop.position->latitude, 5);
    town.x = fixed(loop.position->longitude, 5);
    town.latitude = loop.position->latitude;
    town.longitude = loop.position->longitude;
}

// The commands' snoozes run on the watch's clock.
double wall_now_s(const watch_loop& loop) {
    return watch_time(loop.request.clock_rate);
}

// The alert rules with the switch as the commands left it.
watch_rules rules_now(const watch_loop& loop) {
    watch_rules rules = loop.request.rules;
    rules.approaching_only = loop.controls.approaching_only;
    return rules;
}

// The place the checks ask for: a command may have moved it to a point, under its name.
report_request report_now(const watch_loop& loop) {
    report_request report = loop.request.report;
    if (const std::optional<place_command>& moved = loop.controls.moved_to) {
        report.town = loop.town.name;
        report.point = place_point{moved->y, moved->x, moved->latitude, moved->longitude};
    }
    return report;
}

// Each place that follows a topic hears of its positions over the link.
void follow_positions(watch_loop& loop, mqtt_link* link) {
    if (link != nullptr && !loop.request.follow.empty()) {
        link->follow(loop.request.follow,
                     [&loop](const std::string& payload) { take_position(loop, payload); });
    }
}

// With the setting on, the link hands the commands it hears to the watch.
void listen_to_commands(watch_loop& loop, mqtt_link& link) {
    if (loop.request.mqtt && loop.request.mqtt->commands) {
        link.take_commands([&loop](const std::string& name, const std::string& payload,
                                   bool retained) { take_command(loop, name, payload, retained); },
                           loop.mqtt_place);
    }
}

// One place's watch as the files of the watch share it: the state of its loop, and the steps of
// its schedule (watch_run.cpp, watch_commands.cpp) that its weather (watch_weather.cpp), what it
// shows (watch_print.cpp) and the watch of several places (watch_places.cpp) take.
#pragma once

#include "approach/approach.h"
#include "approach/place_track.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/position.h"
#include "output/places_bar.h"
#include "report/report.h"
#include "storm/town_lookup.h"
#include "watch/channels.h"
#include "watch/child_run.h"
#include "watch/place_controls.h"
#include "watch/wake.h"
#include "watch/watch_request.h"
#include "watch/watch_state.h"
#include "watch/weather_child.h"

#include <json/json.h>

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the weather's worker answered: the sources that failed, and why.
struct weather_outcome {
    std::vector<std::string> failed;
    std::vector<std::string> why;
};

// What came back from a check's worker.
struct check_answer {
    bool usable = false;
    run_report report; // with the estimate that the lines and the alert rules take
    Json::Value document;
    std::vector<std::string> failed_sources;
    std::vector<std::string> failure_messages; // why the storm service's parts failed
};

struct watch_loop {
    watch_loop(const watch_request& watched, worker_pool& workers)
        : request(watched), pool(workers), weather_order(workers) {
        controls.approaching_only = watched.rules.approaching_only;
    }

    const watch_request& request;
    worker_pool& pool; // the workers that make the checks and ask for the weather
    town_record town;
    std::vector<open_channel> channels; // opened once the place is settled
    watch_state state;
    watch_clock::time_point started = watch_clock::now();
    std::time_t started_wall = std::time(nullptr);
    // Each service backs off on its own: the storm service's failures space the checks out,
    // the weather service's only its own requests, which a worker beside the checks makes (the
    // lightning never waits for the weather).
    int storm_failures = 0;
    int weather_failures = 0;
    watch_clock::time_point weather_due = watch_clock::now();
    watch_clock::time_point weather_asked = watch_clock::now(); // the weather order's start
    // In a watch of several places, when the place's regular check was due: the weather's
    // schedule keeps to the checks' times rather than to when each one could start.
    std::optional<watch_clock::time_point> check_due;
    side_order weather_order;
    std::vector<weather_part> weather;        // the last replies, for the checks to show
    watch_clock::time_point weather_had = {}; // when they came
    // The weather's parts whose latest request failed, and why: a check leaves them out rather
    // than show an older reply as current.
    std::vector<report_error> weather_failing;
    // The weather's order has been answered since the last check was told.
    std::optional<weather_outcome> weather_news;
    bool failure_told = false;  // a failure was told, and the return not yet
    mqtt_link* mqtt = nullptr;  // the broker, when publishing
    std::size_t mqtt_place = 0; // the place's index on it
    place_controls controls;    // what Home Assistant's commands changed at the place
    Json::Value published;      // the latest check's state document, null before the first
    bool ready = false;         // the service manager has been told that the watch runs
    // A place of several shown in one status bar: its check is kept here for the bar's object
    // rather than printed.
    bool in_one_bar = false;
    std::optional<bar_place> latest;
    // A place that follows a topic: its latest position and when it came.
    std::optional<place_position> position;
    std::time_t position_came = 0;
    report_spacing refused_positions; // told at most once a minute
};

// `seconds` after `from`, on the clock of the waits.
watch_clock::time_point after(watch_clock::time_point from, double seconds);
// The commands' clock, the watch's, in seconds (watch_commands.cpp).
double wall_now_s(const watch_loop& loop);
// The alert rules with the switch as the commands left it (watch_commands.cpp).
watch_rules rules_now(const watch_loop& loop);
// One try to find the place: its status, none when stopped.
std::optional<town_status> try_settle(watch_loop& loop);
// Tells that the place could not be found this time; the wait before the next try.
double tell_settle_failed(const watch_loop& loop, int failures);
// Waits a little for the broker's connect to end before a worker or child is made.
void let_broker_connect_end(const watch_loop& loop);
// The check's row in the place's track, written by a worker.
void record_check(watch_loop& loop, const observation& seen, watch_event event,
                  const std::function<void()>& on_signal);
// One check; false when stopped (`fresh`: the lightning asked anew; `collect`: what ends
// meanwhile is collected there, by default the place's own commands and weather).
bool check_once(watch_loop& loop, bool fresh = false,
                const std::function<void()>& collect = nullptr);
// When the place's all-clear falls due, on the clock of the waits.
std::optional<watch_clock::time_point> all_clear_time(const watch_loop& loop);
// The place's device on the broker.
mqtt_place mqtt_place_of(const watch_request& request, const town_record& town);
// The link to the broker, served by the watch's waits through `chore`.
std::unique_ptr<mqtt_link> start_publishing(const watch_request& request,
                                            const std::vector<mqtt_place>& places,
                                            wait_chore& chore, bool several = false);

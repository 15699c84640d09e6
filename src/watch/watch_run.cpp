#include "watch/watch_run.h"

#include "approach/place_track.h"
#include "mqtt/position.h"
#include "output/json_form.h"
#include "output/line_form.h"
#include "output/machine_run.h"
#include "output/places_bar.h"
#include "output/ring.h"
#include "output/waybar_form.h"
#include "service/journal.h"
#include "service/notify.h"
#include "state/run_deadline.h"
#include "state/run_state.h"
#include "store/database.h"
#include "store/reply_cache.h"
#include "store/shared_connection.h"
#include "storm/storm_client.h"
#include "storm/storm_requests.h"
#include "storm/town_lookup.h"
#include "text/failure_cause.h"
#include "text/numbers.h"
#include "text/text.h"
#include "watch/channels.h"
#include "watch/child_run.h"
#include "watch/place_controls.h"
#include "watch/report_wire.h"
#include "watch/schedule.h"
#include "watch/wake.h"
#include "watch/watch_output.h"
#include "watch/weather_child.h"
#include "weather/curl_library.h"
#include "weather/reply_fields.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

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

// Standard output carries one document or line a check, nothing else, in the forms that a
// program reads.
bool output_for_programs(const watch_request& request) {
    return form_for_programs(request.form, request.format);
}

// The forms a status bar reads: the watch's alerts stay out of both its streams (a bar may show
// standard error as well) unless --alerts-to-stderr.
bool status_bar_form(const watch_request& request) {
    return form_for_bars(request.form, request.format);
}

channel_setup channel_setup_of(const watch_request& request, mqtt_link* mqtt,
                               std::size_t mqtt_place = 0) {
    channel_setup setup;
    setup.terminal = terminal_lines_for(status_bar_form(request), output_for_programs(request),
                                        request.alerts_to_stderr);
    if (setup.terminal == terminal_lines::standard_output) {
        setup.bell = isatty(STDOUT_FILENO) == 1;
        setup.colours = terminal_colours(request.colour);
    }
    setup.utf8 = request.utf8;
    setup.notify = request.notify;
    setup.command = request.command;
    setup.mqtt = mqtt;
    setup.mqtt_place = mqtt_place;
    setup.place = request.place;
    return setup;
}

// The watch's clock at `at`: the wall clock, or under a clock rate (the simulator's accelerated
// storms) the wall clock of the watch's start running at that rate. The lines' times, the
// track's, the all-clear's and the commands' are on it, every place of the watch on the same one.
double watch_time(double clock_rate, watch_clock::time_point at = watch_clock::now()) {
    // Taken once, when the watch first tells the time (it says that it starts).
    static const watch_clock::time_point origin = watch_clock::now();
    static const std::time_t origin_wall = std::time(nullptr);
    if (clock_rate == 1) {
        return static_cast<double>(std::time(nullptr)) -
               std::chrono::duration<double>(watch_clock::now() - at).count();
    }
    return static_cast<double>(origin_wall) +
           std::chrono::duration<double>(at - origin).count() * clock_rate;
}

// The time of a check on the track's clock: the wall clock at the start of the watch, then
// running as the watch's clock does.
double track_time(const watch_loop& loop, watch_clock::time_point at) {
    if (loop.request.clock_rate != 1) {
        return watch_time(loop.request.clock_rate, at);
    }
    const double elapsed = std::chrono::duration<double>(at - loop.started).count();
    return static_cast<double>(loop.started_wall) + elapsed;
}

// Seconds of the watch's clock for `real_s` real seconds: what the watch says of its waits.
double on_watch_clock(const watch_request& request, double real_s) {
    return real_s * request.clock_rate;
}

std::string stamp(const watch_request& request) {
    return clock_time(static_cast<std::time_t>(std::floor(watch_time(request.clock_rate)))) + " ";
}

// Standard error, for the lines about the watch itself; the user's letters when not UTF-8. The
// line is the service's status too.
void tell(const watch_request& request, const std::string& text,
          line_priority priority = line_priority::warning) {
    const std::string told = request.place.empty() ? text : request.place + ": " + text;
    const std::string line = stamp(request) + (request.utf8 ? told : ascii_stand_ins(told));
    tell_error_stream(line, priority);
    notify_service("STATUS=" + line);
}

// The service manager learns once that the watch runs: when the first check is shown, or when
// the first try to find the place has failed and the watch waits to try again.
void tell_ready(bool& ready) {
    if (!ready) {
        notify_service("READY=1");
        ready = true;
    }
}

// --- the town, looked up once in a child ------------------------------------------------

std::string town_answer_text(const std::string& db_path, const std::string& typed) {
    start_run_deadline(); // each lookup (in its own child) gets the whole time
    const town_answer answer = look_up_town(db_path, typed);
    std::ostringstream out;
    out << static_cast<int>(answer.status) << '\n'
        << answer.town.from_cache << '\n'
        << answer.town.y << '\n'
        << answer.town.x << '\n'
        << answer.town.name;
    return out.str();
}

town_answer parse_town_answer(const std::string& text, const std::string& typed) {
    std::istringstream in(text);
    town_answer answer;
    int status = static_cast<int>(town_status::failed);
    town_record& town = answer.town;
    town.typed = typed;
    in >> status >> town.from_cache;
    in.ignore();
    if (!in || !std::getline(in, town.y) || !std::getline(in, town.x) ||
        !std::getline(in, town.name)) {
        return answer;
    }
    answer.status = static_cast<town_status>(status);
    town.latitude = decimal_value(town.y);
    town.longitude = decimal_value(town.x);
    if (answer.status == town_status::found && (!town.latitude || !town.longitude)) {
        answer.status = town_status::failed;
    }
    return answer;
}

watch_clock::time_point after(watch_clock::time_point from, double seconds) {
    return from + std::chrono::duration_cast<watch_clock::duration>(
                      std::chrono::duration<double>(seconds));
}

// A status bar has only the watch's output to show: while the place is not found, each try gives
// the form's answer without coordinates (`outcome`: unknown or failed), as a one-shot run does,
// `why` among its errors. The one bar of several places shows those found.
void show_unsettled(const watch_loop& loop, town_status outcome, const std::string& why) {
    const watch_request& request = loop.request;
    if (!status_bar_form(request) || loop.in_one_bar) {
        return;
    }
    run_report report;
    report.town_outcome = outcome;
    report.town.typed = request.report.town;
    report.town.name = request.report.town;
    report.radius_km = request.report.radius_km;
    report.place = request.report.place;
    report.danger_km = request.rules.danger_km;
    report.made_at = std::time(nullptr);
    report.errors.push_back({"town", why});
    form_facts facts{report, request.format, request.utf8, true, "", ""};
    facts.place = request.place;
    facts.escape = request.escape;
    print_line(render_form(request.form, facts), line_priority::info);
}

// One try to find the place: its status (found: the loop's town settled), none when stopped.
std::optional<town_status> try_settle(watch_loop& loop) {
    const watch_request& request = loop.request;
    town_record& town = loop.town;
    if (request.report.point) {
        town = point_town(request.report);
        return town_status::found;
    }
    const std::string& typed = request.report.town;
    const auto collect = [] {}; // no alert has been raised yet
    std::string text;
    const child_outcome outcome =
        run_in_child([&] { return town_answer_text(request.db_path, typed); }, text, collect);
    if (outcome == child_outcome::stopped) {
        return std::nullopt;
    }
    const town_answer answer = parse_town_answer(text, typed);
    if (answer.status == town_status::found) {
        town = answer.town;
    } else if (answer.status == town_status::unknown) {
        const std::string told = "Na serwerze " + storm_host() + " brak danych o miejscowości „" +
                                 strip_control_chars(typed) + "”.";
        tell_error_stream(request.place.empty() ? told : request.place + ": " + told,
                          line_priority::error);
        show_unsettled(loop, answer.status, told);
    }
    return answer.status;
}

// Tells that the place could not be found this time, and when the next try comes.
double tell_settle_failed(const watch_loop& loop, int failures) {
    const watch_request& request = loop.request;
    const double wait = service_wait_s(request.every_s, request.storm_remote, failures);
    const std::string told = "Nie udało się ustalić współrzędnych: " + failed_services({"town"}) +
                             ". Następna próba za " + wait_text(on_watch_clock(request, wait)) +
                             ".";
    tell(request, told);
    show_unsettled(loop, town_status::failed, told);
    return wait;
}

// 0 with the loop's town settled, 1 for an unknown town, -1 when stopped.
int settle_town(watch_loop& loop) {
    const auto collect = [] {}; // no alert has been raised yet
    for (int failures = 1;; ++failures) {
        const auto started = watch_clock::now();
        const std::optional<town_status> status = try_settle(loop);
        if (!status) {
            return -1;
        }
        if (*status == town_status::found) {
            return 0;
        }
        if (*status == town_status::unknown) {
            return 1;
        }
        const double wait = tell_settle_failed(loop, failures);
        tell_ready(loop.ready);
        if (!sleep_until(after(started, wait), collect)) {
            return -1;
        }
    }
}

// --- one check, by a worker -----------------------------------------------------------------

// What the check saw of the lightning, from its checked record (as its document shows it).
watch_check check_of(const run_report& report) {
    watch_check check;
    if (!report.lightning) {
        return check;
    }
    const lightning_report& lightning = *report.lightning;
    check.known = true;
    check.strikes = lightning.count;
    if (lightning.count > 0) {
        check.nearest_km = lightning.distance_km;
        check.beyond_km = lightning.beyond_km;
        check.direction = lightning.direction;
    }
    return check;
}

// The place of the watch's track.
track_place place_of(const watch_loop& loop) {
    return {loop.town.name, loop.town.latitude.value_or(0), loop.town.longitude.value_or(0),
            loop.request.report.radius_km};
}

observation observation_at(const watch_check& check, double time_s) {
    return {time_s, check.strikes, check.strikes > 0 ? check.nearest_km : std::nullopt,
            check.strikes > 0 ? check.direction : std::string()};
}

// The records of the check, with the approach estimate over the place's track before the check
// (at the order's time on the track's clock) and the check's observation, as the watch reads it
// from the document: the watch renders them in its form once the check's event is known. The
// lines, the Waybar tooltip and the watch's alert rules all take this one estimate. The watch
// records the check's row once it has the answer.
std::string check_text(const work_order& order) {
    run_report report = gather_town_report(order.report, order.town);
    const watch_check check = check_of(report);
    if (check.known) {
        std::vector<observation> track = track_before(order.db_path, order.place, order.time_s);
        track.push_back(observation_at(check, order.time_s));
        report.approach = estimate_approach(track, order.danger_km);
        // On the watch's clock, as the check's time is: under a clock rate the report is made
        // at the check's time on it.
        if (order.clock_rate != 1) {
            report.made_at = static_cast<std::time_t>(std::floor(order.time_s));
        }
        const std::optional<double> safe =
            safe_at(track, order.danger_km, order.clear_after_s * order.clock_rate, order.time_s);
        if (safe) {
            report.safe_at = static_cast<long>(report.made_at) +
                             static_cast<long>(std::ceil(*safe - order.time_s));
        }
    }
    // Not approach_included: the watch's own line adds the estimate's text (check_note).
    report.danger_km = order.danger_km;
    return report_wire(report);
}

// The weather's replies had so far stand in for the check's weather requests; the parts without
// one are left out of the check.
void use_weather_had(work_order& order) {
    const result<std::vector<weather_part>> parts = parse_weather_parts(order.weather);
    bool weather = false;
    bool forecast = false;
    for (const weather_part& part : parts ? *parts : std::vector<weather_part>()) {
        weather_reply reply = part.reply;
        reply.age_s += order.weather_age_s;
        supply_weather_reply(part.path, reply);
        weather = weather || part.source == "weather";
        forecast = forecast || part.source == "forecast";
    }
    order.report.weather = order.report.weather && weather;
    order.report.forecast = order.report.forecast && forecast;
}

// The database of a worker's orders: one connection, opened by the first order and kept for the
// next ones.
void use_database(const std::string& db_path) {
    static std::string opened;
    static shared_connection* const database = new shared_connection; // lives with the worker
    if (opened != db_path && database->open(db_path, true)) {
        opened = db_path;
    }
}

// In a worker: the order's answer, empty when the text holds no order. Each order is a run of its
// own: the whole time and the whole wait for a locked database; what it changed in the
// worker's process (the reply cache's policy, the requests started or supplied and not taken)
// does not reach the next.
std::string serve_order(const std::string& text) {
    work_order order;
    if (!parse_work_order(text, order)) {
        return std::string();
    }
    start_run_deadline();
    reset_database_busy_wait();
    use_database(order.db_path);
    cache_policy& policy = reply_cache_policy();
    const cache_policy kept = policy;
    if (order.fresh) {
        policy.max_age_s = 0;
    }
    std::string answer;
    switch (order.kind) {
    case order_kind::weather:
        answer = weather_parts_text(order.report);
        break;
    case order_kind::record: {
        const result<void> recorded =
            record_observation(order.db_path, order.place, order.seen, order.event, order.now_s);
        answer = recorded ? std::string() : recorded.error();
        break;
    }
    case order_kind::check:
        use_weather_had(order);
        answer = check_text(order);
        break;
    }
    policy = kept;
    forget_weather_replies();
    forget_started_storm_reports();
    return answer;
}

bool from_weather_service(const std::string& source) {
    return source == "weather" || source == "forecast";
}

check_answer parse_check(const std::string& text) {
    check_answer answer;
    if (!parse_report_wire(text, answer.report)) {
        return answer;
    }
    answer.document = report_document(answer.report);
    for (const report_error& error : answer.report.errors) {
        answer.failed_sources.push_back(error.source);
        if (!from_weather_service(error.source)) {
            answer.failure_messages.push_back(error.message);
        }
    }
    answer.usable = true;
    return answer;
}

// A check whose worker gave no answer (ended without one, or ended at its deadline): the place,
// and the storm service's parts failed, with the cause. The weather's parts are left out.
check_answer unanswered_check(const watch_loop& loop, child_outcome outcome) {
    const std::string why = outcome == child_outcome::overdue
                                ? "Proces sprawdzenia nie odpowiedział: " +
                                      failure_text({failure_cause::timeout, std::string()}) + "."
                                : std::string("Proces sprawdzenia zakończył się bez odpowiedzi.");
    check_answer answer;
    run_report& report = answer.report;
    report.town_outcome = town_status::found;
    report.town = loop.town;
    report.radius_km = loop.request.report.radius_km;
    report.weather_included = loop.request.report.weather;
    report.forecast_included = loop.request.report.forecast;
    report.made_at = std::time(nullptr);
    report.danger_km = loop.request.rules.danger_km;
    for (const char* source : {"warnings", "lightning"}) {
        report.errors.push_back({source, why});
        answer.failed_sources.emplace_back(source);
    }
    answer.failure_messages = {why};
    answer.document = report_document(report);
    answer.usable = true;
    return answer;
}

// The check's weather parts whose latest request failed (told by the weather's worker before or
// during the check) are left out of it, with the failure, rather than shown from an older reply.
void leave_out_failing_weather(const watch_loop& loop, check_answer& answer) {
    run_report& report = answer.report;
    for (const report_error& failing : loop.weather_failing) {
        if (failing.source == "weather") {
            report.weather.reset();
        } else if (failing.source == "forecast") {
            report.forecast.reset();
        }
        const bool named =
            std::any_of(report.errors.begin(), report.errors.end(),
                        [&](const report_error& error) { return error.source == failing.source; });
        if (!named) {
            report.errors.push_back(failing);
        }
    }
    if (!loop.weather_failing.empty()) {
        answer.document = report_document(report);
    }
}

// --- Home Assistant's commands -----------------------------------------------------------

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

// The state document as published: with the commands on, what they changed as well.
std::string published_state(const watch_loop& loop) {
    Json::Value document = loop.published;
    if (loop.request.mqtt && loop.request.mqtt->commands) {
        document["commands"] =
            controls_value(loop.controls, loop.position.has_value(), wall_now_s(loop));
    }
    return document_text(document);
}

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

// Takes the place to where a command moved it, before a check.
void follow_moves(watch_loop& loop) {
    if (loop.controls.moved_to) {
        loop.town = point_town(report_now(loop));
    }
}

// The position of a place that follows a topic, as its state shows it: null before the first.
Json::Value position_value(const watch_loop& loop) {
    if (!loop.position) {
        return Json::Value();
    }
    Json::Value value(Json::objectValue);
    value["latitude"] = loop.position->latitude;
    value["longitude"] = loop.position->longitude;
    value["stale"] = position_stale(*loop.position, loop.position_came, std::time(nullptr));
    return value;
}

void show_event(watch_loop& loop, watch_event event, const event_facts& facts) {
    const std::string line = event_line(event, facts);
    notify_service("STATUS=" + stamp(loop.request) +
                   (loop.request.utf8 ? line : ascii_stand_ins(line)));
    if (!alerts_silenced(loop.controls, event, wall_now_s(loop))) {
        const auto at = static_cast<std::time_t>(std::floor(watch_time(loop.request.clock_rate)));
        deliver_to_all(loop.channels, {event, facts, line, at});
    }
}

// A worker or child forked while the broker's helper thread is inside the resolver or the TLS
// set-up may inherit a lock that nothing in it releases (the sanitizers' allocator, the resolver's
// own), and hang until its deadline. A connect on a reachable broker ends within milliseconds, so
// the fork waits for it a little; a lookup that hangs holds a check up by that little at most.
void let_broker_connect_end(const watch_loop& loop) {
    constexpr auto longest = std::chrono::milliseconds(500);
    constexpr auto step = std::chrono::milliseconds(10);
    for (auto waited = std::chrono::milliseconds(0);
         loop.mqtt != nullptr && loop.mqtt->connect_in_progress() && waited < longest;
         waited += step) {
        std::this_thread::sleep_for(step);
    }
}

// The check's row in the place's track, written by a worker (which keeps the database's
// connection); a row that could not be written is told.
void record_check(watch_loop& loop, const observation& seen, watch_event event,
                  const std::function<void()>& on_signal) {
    work_order order;
    order.kind = order_kind::record;
    order.db_path = loop.request.db_path;
    order.place = place_of(loop);
    order.seen = seen;
    order.event = event_id(event);
    order.now_s = static_cast<double>(std::time(nullptr));
    std::string told;
    let_broker_connect_end(loop); // a worker may have to be made
    const child_outcome outcome = loop.pool.ask(work_order_wire(order), told, on_signal);
    if (outcome == child_outcome::failed || outcome == child_outcome::overdue) {
        told = "Nie udało się zapisać obserwacji w bazie danych: proces zapisu nie odpowiedział.";
    }
    if (!told.empty()) {
        tell_error_stream(told, line_priority::warning);
    }
}

// A check's answer on standard output, as the form's stream has it.
void print_answer(const watch_request& request, watch_stream stream, const std::string& shown) {
    switch (stream) {
    case watch_stream::timed_line: {
        // In a watch of several places each line is led by its place's name (a line of a
        // place named as its town already is).
        const bool led = request.place.empty() || shown.rfind(request.place + ":", 0) == 0;
        const std::string lead = led ? "" : request.place + ": ";
        print_line(stamp(request) + lead + shown, line_priority::info);
        return;
    }
    case watch_stream::document:
    case watch_stream::bar_line:
    case watch_stream::bar_object:
        print_line(shown, line_priority::info);
        return;
    }
}

// `time_s`: the check's time on the track's clock; `on_signal` runs at signals while the row is
// recorded.
void show_check(watch_loop& loop, check_answer& answer, double time_s,
                const std::function<void()>& on_signal) {
    const watch_request& request = loop.request;
    const watch_check check = check_of(answer.report);
    const double now_s = std::chrono::duration<double>(watch_clock::now() - loop.started).count();
    const std::optional<double> previous_km = loop.state.last_nearest_km;
    const bool reached_ring = loop.state.last_ring_strike_s.has_value();
    // The estimate the lines show, then the check's row.
    const std::optional<approach_estimate>& estimate = answer.report.approach;
    const watch_step step =
        next_watch_step(loop.state, check, now_s, rules_now(loop), comes_within_ring(estimate));
    loop.state = step.state;
    if (check.known) {
        record_check(loop, observation_at(check, time_s), step.event, on_signal);
    }
    const std::string approach = approach_text(estimate, request.rules.danger_km);
    std::string note = check_note(step.trend, approach);
    if (answer.report.safe_at) {
        const std::string safe =
            "bezpiecznie za ~" +
            std::to_string(minutes_until_safe(static_cast<double>(*answer.report.safe_at),
                                              static_cast<double>(answer.report.made_at))) +
            " min";
        note = note.empty() ? safe : note + " | " + safe;
    }
    form_facts shown_facts{answer.report, request.format,       request.utf8,
                           true,          event_id(step.event), note};
    shown_facts.place = request.place;
    shown_facts.escape = request.escape;
    answer.document["approach"] = approach_value(shown_approach(answer.report));
    answer.document["safe_at"] = safe_at_value(answer.report);
    if (loop.mqtt != nullptr) {
        if (!request.follow.empty()) {
            answer.document["position"] = position_value(loop);
        }
        loop.published = answer.document;
        loop.mqtt->publish_state(published_state(loop), loop.mqtt_place);
        run_chore_at_next_wait(); // a state held back for its second goes out then
    }
    const std::string shown = render_form(request.form, shown_facts);
    const watch_stream stream = form_stream(request.form, request.format);
    if (loop.in_one_bar) {
        form_facts bar_facts = shown_facts;
        bar_facts.utf8 = true;
        loop.latest = bar_place{request.place, answer.report,
                                render_form(output_form::line, bar_facts), bar_facts.event};
    } else {
        print_answer(request, stream, shown);
    }
    // The service's status: the check's line, in UTF-8 where the form is (a bar's object).
    shown_facts.utf8 = request.utf8 || stream == watch_stream::bar_object;
    notify_service("STATUS=" + stamp(request) + render_form(output_form::line, shown_facts));
    if (step.event != watch_event::none) {
        event_facts facts;
        facts.town = loop.town.name;
        facts.place = answer.report.place;
        facts.where = place_reference(answer.report);
        facts.radius_km = request.report.radius_km;
        facts.check = check;
        facts.previous_km = previous_km;
        facts.clear_after_min = on_watch_clock(request, request.rules.clear_after_s) / 60;
        facts.danger_km = request.rules.danger_km;
        facts.approach = shown_approach(answer.report); // arrival 0 inside the ring
        facts.storm_reached_ring = reached_ring;
        show_event(loop, step.event, facts);
    }
}

// --- the weather, by a worker beside the checks ---------------------------------------------

bool weather_wanted(const watch_request& request) {
    return request.report.weather || request.report.forecast;
}

// The storm client's TLS context and, when the weather is asked, libcurl: made and loaded once
// here, so that every worker starts with them instead of doing it again.
void ready_for_children(bool weather) {
    prepare_storm_request();
    if (weather) {
        curl_library();
    }
}

// The weather's schedule after its request ended at `now` with `outcome`.
void weather_ended(watch_loop& loop, const weather_outcome& outcome, watch_clock::time_point now) {
    const bool failed = !outcome.failed.empty();
    loop.weather_failures = failed ? loop.weather_failures + 1 : 0;
    const double wait =
        service_wait_s(loop.request.every_s, loop.request.weather_remote, loop.weather_failures);
    loop.weather_due = after(failed ? now : loop.weather_asked, wait);
    loop.weather_news = outcome;
}

// The sources of the weather parts the watch asks for.
std::vector<std::string> weather_sources(const watch_request& request) {
    std::vector<std::string> sources;
    for (const weather_request& part : weather_requests(request.report)) {
        sources.push_back(part.source);
    }
    return sources;
}

// Takes the weather's answer once it has come: its replies join the next checks, and the
// weather's schedule moves on (after a failure, from its end: a request that hung for the whole
// time-out is not asked again at once).
void take_weather(watch_loop& loop) {
    std::string text;
    if (!loop.weather_order.finished(text)) {
        return;
    }
    const auto now = watch_clock::now();
    weather_outcome outcome;
    const result<std::vector<weather_part>> parts = parse_weather_parts(text);
    loop.weather_failing.clear();
    if (parts) {
        loop.weather = *parts;
        loop.weather_had = now;
        for (const weather_part& part : *parts) {
            if (weather_part_failed(part)) {
                outcome.failed.push_back(part.source);
                outcome.why.push_back(weather_failure_message(part.reply));
                loop.weather_failing.push_back({part.source, outcome.why.back()});
            }
        }
    } else {
        outcome.failed = weather_sources(loop.request);
        outcome.why.push_back(parts.error());
        for (const std::string& source : outcome.failed) {
            loop.weather_failing.push_back({source, parts.error()});
        }
    }
    weather_ended(loop, outcome, now);
}

// At a signal (SIGCHLD among them, or the weather's answer coming in): the commands that have
// ended, and the weather's answer as soon as it is in, so that its back-off counts from its end.
void collect_children(watch_loop& loop) {
    collect_all(loop.channels);
    take_weather(loop);
}

// Starts the weather order when the weather is due and none is out.
void ask_weather(watch_loop& loop) {
    const auto now = watch_clock::now();
    const auto asked = loop.check_due ? std::min(now, *loop.check_due) : now;
    // A check due at the weather's time, as the clock's arithmetic gives both, is not early.
    constexpr auto rounding = std::chrono::milliseconds(1);
    if (!weather_wanted(loop.request) || loop.weather_order.running() ||
        asked + rounding < loop.weather_due) {
        return;
    }
    loop.weather_asked = asked;
    let_broker_connect_end(loop);
    work_order order;
    order.kind = order_kind::weather;
    order.report = report_now(loop);
    order.db_path = loop.request.db_path;
    const result<void> started = loop.weather_order.start(work_order_wire(order));
    if (!started) {
        // Not asked at all: a failure like any other, backed off as one.
        weather_ended(loop, {weather_sources(loop.request), {started.error()}}, now);
    }
}

// Tells of failed services, each failure's cause, and of their return; keeps count of the storm
// service's failed checks in a row. `failed`: the sources that failed in the check, `why`: the
// check's messages about them; the weather's come from its worker, when it has answered since the
// last check was told.
void account_failures(watch_loop& loop, const std::vector<std::string>& failed,
                      std::vector<std::string> why) {
    std::vector<std::string> sources;
    std::copy_if(failed.begin(), failed.end(), std::back_inserter(sources),
                 [](const std::string& source) { return !from_weather_service(source); });
    loop.storm_failures = sources.empty() ? 0 : loop.storm_failures + 1;
    const bool weather_failed = loop.weather_news && !loop.weather_news->failed.empty();
    if (weather_failed) {
        const weather_outcome& news = *loop.weather_news;
        sources.insert(sources.end(), news.failed.begin(), news.failed.end());
        why.insert(why.end(), news.why.begin(), news.why.end());
    }
    loop.weather_news.reset();
    if (sources.empty()) {
        if (loop.failure_told && loop.storm_failures == 0 && loop.weather_failures == 0) {
            tell(loop.request, "Serwery znów odpowiadają.", line_priority::notice);
            loop.failure_told = false;
        }
        return;
    }
    loop.failure_told = true;
    std::string text =
        "Sprawdzenie nieudane: " + failed_services(sources) + ". Następne za " +
        wait_text(on_watch_clock(
            loop.request,
            check_wait_s(loop.request.every_s, loop.request.storm_remote, loop.storm_failures)));
    if (weather_failed) {
        text += ", pogoda za " +
                wait_text(on_watch_clock(loop.request, service_wait_s(loop.request.every_s,
                                                                      loop.request.weather_remote,
                                                                      loop.weather_failures)));
    }
    text += ".";
    std::vector<std::string> told;
    for (const std::string& message : why) {
        if (std::find(told.begin(), told.end(), message) == told.end()) {
            told.push_back(message);
            text += " " + message;
        }
    }
    tell(loop.request, text);
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

// Each place that follows a topic hears of its positions over the link.
void follow_positions(watch_loop& loop, mqtt_link* link) {
    if (link != nullptr && !loop.request.follow.empty()) {
        link->follow(loop.request.follow,
                     [&loop](const std::string& payload) { take_position(loop, payload); });
    }
}

// The check's order: the place as the check asks for it, the weather had so far.
std::string order_of(const watch_loop& loop, double time_s, bool fresh) {
    work_order order;
    order.report = report_now(loop);
    order.town = loop.town;
    order.place = place_of(loop);
    order.db_path = loop.request.db_path;
    order.danger_km = loop.request.rules.danger_km;
    order.clear_after_s = loop.request.rules.clear_after_s;
    order.clock_rate = loop.request.clock_rate;
    order.time_s = time_s;
    order.fresh = fresh;
    order.weather = weather_parts_wire(loop.weather);
    order.weather_age_s = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(watch_clock::now() - loop.weather_had)
            .count());
    return work_order_wire(order);
}

// One check; false when stopped. The weather comes from its own order: the check shows the
// replies it has had so far. `fresh`: the lightning is asked anew, never taken from a reply that
// the cache keeps from the check before. `collect`: what ends meanwhile is collected there (by
// default, the place's own commands and weather).
bool check_once(watch_loop& loop, bool fresh = false,
                const std::function<void()>& collect = nullptr) {
    const watch_clock::time_point checked = watch_clock::now();
    follow_moves(loop);
    take_weather(loop);
    ask_weather(loop);
    const double time_s = track_time(loop, checked);
    move_to_position(loop);
    std::string text;
    let_broker_connect_end(loop);
    const std::function<void()> on_signal = [&] {
        if (collect) {
            collect();
        } else {
            collect_children(loop);
        }
    };
    const child_outcome outcome = loop.pool.ask(order_of(loop, time_s, fresh), text, on_signal);
    if (outcome == child_outcome::stopped) {
        return false;
    }
    // A weather service that failed at once is told with this check.
    take_weather(loop);
    check_answer answer = parse_check(text);
    if (!answer.usable) {
        answer = unanswered_check(loop, outcome);
    }
    leave_out_failing_weather(loop, answer);
    show_check(loop, answer, time_s, on_signal);
    account_failures(loop, answer.failed_sources, answer.failure_messages);
    return static_cast<bool>(std::cout);
}

// Waits for the next check until `deadline`, or until a command asks for it; false when stopped.
bool sleep_between_checks(watch_loop& loop, watch_clock::time_point deadline) {
    while (!stop_requested()) {
        if (loop.controls.check_now_due) {
            loop.controls.check_now_due = false;
            return true;
        }
        if (wait_for_wake(-1, deadline) == wake_reason::deadline) {
            return true;
        }
        collect_children(loop);
    }
    return false;
}

// When the place's all-clear falls due, on the clock of the waits.
std::optional<watch_clock::time_point> all_clear_time(const watch_loop& loop) {
    const std::optional<double> due = all_clear_due(loop.state, rules_now(loop));
    return due ? std::optional<watch_clock::time_point>(after(loop.started, *due)) : std::nullopt;
}

// Waits for the next check, due at `deadline`. When the all-clear falls due before it, a check
// of its own at that moment makes sure that no strike came meanwhile and gives it; the regular
// checks keep their time. False when stopped.
bool wait_for_check(watch_loop& loop, watch_clock::time_point deadline) {
    for (;;) {
        const std::optional<watch_clock::time_point> clear = all_clear_time(loop);
        const bool clear_first = clear && *clear < deadline;
        if (!sleep_between_checks(loop, clear_first ? *clear : deadline)) {
            return false;
        }
        if (!clear_first || watch_clock::now() < *clear) {
            return true; // the check's time, or a check asked for
        }
        if (!check_once(loop, true)) {
            return false;
        }
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

// The place's device on the broker.
mqtt_place mqtt_place_of(const watch_request& request, const town_record& town) {
    mqtt_place place;
    place.key = {town.name, town.latitude, town.longitude, request.report.radius_km,
                 request.report.point.has_value()};
    place.shared_by = request.shared_town_place;
    place.usual_radius_km = report_request().radius_km;
    place.interval_s = request.every_s;
    place.weather = request.report.weather;
    place.version = program_version;
    return place;
}

std::unique_ptr<mqtt_link> start_publishing(const watch_request& request,
                                            const std::vector<mqtt_place>& places,
                                            wait_chore& chore, bool several = false) {
    auto link = std::make_unique<mqtt_link>(
        *request.mqtt, places, [&request](const std::string& text) { tell(request, text); },
        several);
    mqtt_link* const served = link.get();
    chore.fd = [served] { return served->socket(); };
    chore.wants_write = [served] { return served->wants_write(); };
    chore.run = [served, &chore] {
        served->service();
        chore.period = served->next_service_in();
    };
    return link;
}

// The watch itself, from its place settled to its end.
int watch_place(watch_loop& loop) {
    const watch_request& request = loop.request;
    const int settled = settle_town(loop);
    if (settled != 0) {
        return settled > 0 ? unknown_place_status : 0;
    }
    ready_for_children(weather_wanted(request));
    std::unique_ptr<mqtt_link> link;
    wait_chore chore;
    if (request.mqtt) {
        link = start_publishing(request, {mqtt_place_of(request, loop.town)}, chore);
        loop.mqtt = link.get();
        listen_to_commands(loop, *link);
    }
    // Every wait from here on serves the broker; none after the link is gone.
    const std::unique_ptr<const wait_chore, void (*)(const wait_chore*)> chore_in_use(
        link ? &chore : nullptr, [](const wait_chore*) { set_wait_chore(nullptr); });
    set_wait_chore(chore_in_use.get());
    follow_positions(loop, loop.mqtt);
    loop.channels = open_channels(channel_setup_of(request, loop.mqtt));
    for (int done = 1;; ++done) {
        const auto started = watch_clock::now();
        if (!check_once(loop)) {
            return 0;
        }
        tell_ready(loop.ready);
        if (request.checks && done >= *request.checks) {
            return 0;
        }
        const double wait =
            check_wait_s(request.every_s, request.storm_remote, loop.storm_failures);
        if (!wait_for_check(loop, after(started, wait))) {
            return 0;
        }
    }
}

// --- several places in one watch ----------------------------------------------------------

// A place of a watch of several: its own loop, when its next check is due, whether its town is
// known, and how many checks it has had.
struct watched_place {
    std::unique_ptr<watch_loop> loop;
    watch_clock::time_point due;
    bool settled = false;
    int settle_failures = 0;
    int done = 0;
};

// When the place's next check comes: its regular time, or its all-clear's when that comes first.
watch_clock::time_point check_time(const watched_place& place) {
    const std::optional<watch_clock::time_point> clear =
        place.settled ? all_clear_time(*place.loop) : std::nullopt;
    return clear ? std::min(*clear, place.due) : place.due;
}

// The place whose check comes next, among those that still have checks to make; null when none.
watched_place* next_due(std::vector<watched_place>& places, const std::optional<int>& checks) {
    watched_place* next = nullptr;
    for (watched_place& place : places) {
        if ((!checks || place.done < *checks) &&
            (next == nullptr || check_time(place) < check_time(*next))) {
            next = &place;
        }
    }
    return next;
}

// Waits until the next place's check is due, or a command asks for a place's check now (that
// place is due then); `next`: the place, null when none has checks left. False when stopped.
template <typename F>
bool wait_for_next(std::vector<watched_place>& places, const std::optional<int>& checks,
                   watched_place*& next, F&& collect) {
    while (!stop_requested()) {
        for (watched_place& place : places) {
            if (place.loop->controls.check_now_due) {
                place.loop->controls.check_now_due = false;
                place.due = watch_clock::now();
            }
        }
        next = next_due(places, checks);
        if (next == nullptr || wait_for_wake(-1, check_time(*next)) == wake_reason::deadline) {
            return true;
        }
        collect();
    }
    return false;
}

// Settles the place's town when it is not yet known; false when stopped. An unknown town leaves
// the place out (`left_out`); a failed try is tried again after its back-off.
bool settle_place(watched_place& place, bool& left_out, bool& ready) {
    const auto started = watch_clock::now();
    const std::optional<town_status> status = try_settle(*place.loop);
    if (!status) {
        return false;
    }
    if (*status == town_status::found) {
        place.settled = true;
    } else if (*status == town_status::unknown) {
        left_out = true;
    } else {
        place.due = after(started, tell_settle_failed(*place.loop, ++place.settle_failures));
        tell_ready(ready);
    }
    return true;
}

// The places' latest checks, for the bar's one object.
std::vector<bar_place> latest_checks(const std::vector<watched_place>& places) {
    std::vector<bar_place> shown;
    for (const watched_place& place : places) {
        if (place.loop->latest) {
            shown.push_back(*place.loop->latest);
        }
    }
    return shown;
}

int watch_places(std::vector<watched_place>& places) {
    const std::optional<int>& checks = places.front().loop->request.checks;
    const double every_s = places.front().loop->request.every_s;
    bool ready = false;
    // A bar's object shows all places in one (render_places).
    const watch_request& request = places.front().loop->request;
    const bool in_one_bar = form_stream(request.form, request.format) == watch_stream::bar_object;
    for (watched_place& place : places) {
        place.loop->in_one_bar = in_one_bar;
    }
    // Each place's first try to find its town; the broker gets a device for each place found.
    for (auto it = places.begin(); it != places.end();) {
        bool left_out = false;
        if (!settle_place(*it, left_out, ready)) {
            return 0;
        }
        it = left_out ? places.erase(it) : it + 1;
    }
    if (places.empty()) {
        return unknown_place_status;
    }
    const watch_request& first = places.front().loop->request;
    ready_for_children(weather_wanted(first));
    std::unique_ptr<mqtt_link> link;
    wait_chore chore;
    if (first.mqtt) {
        std::vector<mqtt_place> devices;
        for (watched_place& place : places) {
            if (place.settled) {
                place.loop->mqtt_place = devices.size();
                devices.push_back(mqtt_place_of(place.loop->request, place.loop->town));
            }
        }
        link = start_publishing(first, devices, chore, true);
    }
    // Every wait from here on serves the broker; none after the link is gone.
    const std::unique_ptr<const wait_chore, void (*)(const wait_chore*)> chore_in_use(
        link ? &chore : nullptr, [](const wait_chore*) { set_wait_chore(nullptr); });
    set_wait_chore(chore_in_use.get());
    const auto start = watch_clock::now();
    for (std::size_t i = 0; i < places.size(); ++i) {
        watch_loop& loop = *places[i].loop;
        const auto offset = after(start, place_offset_s(i, places.size(), every_s));
        places[i].due = places[i].settled ? offset : std::max(offset, places[i].due);
        if (places[i].settled) {
            loop.mqtt = link.get();
            if (link) {
                listen_to_commands(loop, *link);
            }
            follow_positions(loop, loop.mqtt);
            loop.channels =
                open_channels(channel_setup_of(loop.request, loop.mqtt, loop.mqtt_place));
        }
    }
    const auto collect = [&] {
        for (watched_place& place : places) {
            collect_children(*place.loop);
        }
    };
    for (;;) {
        watched_place* place = nullptr;
        if (!wait_for_next(places, checks, place, collect)) {
            return 0;
        }
        if (place == nullptr) {
            return 0;
        }
        watch_loop& loop = *place->loop;
        if (!place->settled) {
            bool left_out = false;
            if (!settle_place(*place, left_out, ready)) {
                return 0;
            }
            if (left_out) {
                places.erase(places.begin() + (place - places.data()));
                if (places.empty()) {
                    return unknown_place_status;
                }
                continue;
            }
            if (!place->settled) {
                continue;
            }
            // Found after the start: its device joins the others on the broker.
            if (link) {
                loop.mqtt = link.get();
                loop.mqtt_place = link->add_place(mqtt_place_of(loop.request, loop.town));
                listen_to_commands(loop, *link);
            }
            follow_positions(loop, loop.mqtt);
            loop.channels =
                open_channels(channel_setup_of(loop.request, loop.mqtt, loop.mqtt_place));
        }
        const auto started = watch_clock::now();
        // The all-clear's own check leaves the regular ones as they were.
        const bool regular = started >= place->due;
        loop.check_due =
            regular ? std::optional<watch_clock::time_point>(place->due) : std::nullopt;
        // The other places' weather may come meanwhile: each is taken at once.
        if (!check_once(loop, !regular, collect)) {
            return 0;
        }
        tell_ready(ready);
        const std::optional<std::string> bar =
            loop.in_one_bar ? render_places(loop.request.form, latest_checks(places))
                            : std::nullopt;
        if (bar) {
            print_line(*bar, line_priority::info);
        }
        if (regular) {
            ++place->done;
            const auto on_clock = [&](watch_clock::time_point at) {
                return std::chrono::duration<double>(at - start).count();
            };
            const double wait =
                check_wait_s(every_s, loop.request.storm_remote, loop.storm_failures);
            place->due = after(
                start, next_check_s(on_clock(place->due), on_clock(watch_clock::now()), wait));
        }
    }
}

} // namespace

int run_watch(const std::vector<watch_request>& requests) {
    if (requests.size() == 1) {
        return run_watch(requests.front());
    }
    const wake_signals signals;
    if (!signals.ready()) {
        tell_error_stream_always("Nie udało się przygotować obsługi sygnałów.",
                                 line_priority::error);
        return 1;
    }
    worker_pool pool(serve_order); // goes after the places' loops
    std::vector<watched_place> places;
    std::string names;
    for (const watch_request& request : requests) {
        places.push_back({std::make_unique<watch_loop>(request, pool), {}, false, 0, 0});
        names += (names.empty() ? "" : ", ") + request.place;
    }
    notify_service("STATUS=" + stamp(requests.front()) + "Początek czuwania: " + names);
    const int status = watch_places(places);
    notify_service("STOPPING=1");
    return status;
}

int run_watch(const watch_request& request) {
    const wake_signals signals;
    if (!signals.ready()) {
        tell_error_stream_always("Nie udało się przygotować obsługi sygnałów.",
                                 line_priority::error);
        return 1;
    }
    worker_pool pool(serve_order); // goes after the loop
    watch_loop loop(request, pool);
    notify_service("STATUS=" + stamp(request) + "Początek czuwania: " +
                   (request.report.place.empty() ? request.report.town : request.report.place));
    const int status = watch_place(loop);
    notify_service("STOPPING=1");
    return status;
}

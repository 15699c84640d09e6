#include "watch/watch_run.h"

#include "approach/place_track.h"
#include "output/json_form.h"
#include "output/line_form.h"
#include "output/machine_run.h"
#include "output/waybar_form.h"
#include "service/journal.h"
#include "service/notify.h"
#include "state/run_deadline.h"
#include "state/run_state.h"
#include "store/database.h"
#include "storm/storm_client.h"
#include "text/numbers.h"
#include "watch/alerts.h"
#include "watch/child_run.h"
#include "watch/schedule.h"
#include "watch/wake.h"
#include "watch/watch_output.h"
#include "watch/weather_child.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>

namespace {

// What the weather child said when it ended: the sources that failed, and why.
struct weather_outcome {
    std::vector<std::string> failed;
    std::vector<std::string> why;
};

// What came back from a check's child.
struct check_answer {
    bool usable = false;
    Json::Value document;
    std::optional<approach_estimate> estimate; // as the child's lines show it
    std::vector<std::string> lines; // the check's line for each watch_event (by its value)
    Json::Value waybar;             // the Waybar object without the event (--waybar)
    std::vector<std::string> failed_sources;
    std::vector<std::string> failure_messages; // why the storm service's parts failed
};

struct watch_loop {
    watch_loop(const watch_request& watched, const alert_settings& settings)
        : request(watched), alerts(settings) {}

    const watch_request& request;
    town_record town;
    alert_commands alerts;
    watch_state state;
    watch_clock::time_point started = watch_clock::now();
    std::time_t started_wall = std::time(nullptr);
    // Each service backs off on its own: the storm service's failures space the checks out,
    // the weather service's only its own requests, which a child beside the checks makes (the
    // lightning never waits for the weather).
    int storm_failures = 0;
    int weather_failures = 0;
    watch_clock::time_point weather_due = watch_clock::now();
    watch_clock::time_point weather_asked = watch_clock::now(); // the weather child's start
    side_child weather_child;
    std::vector<weather_part> weather;        // the last replies, for the checks to show
    watch_clock::time_point weather_had = {}; // when they came
    // The weather child has ended since the last check was told.
    std::optional<weather_outcome> weather_news;
    bool failure_told = false; // a failure was told, and the return not yet
    mqtt_link* mqtt = nullptr; // the broker, when publishing
    bool ready = false;        // the service manager has been told that the watch runs
    colour_codes colours = {};
};

const watch_event all_events[] = {watch_event::none, watch_event::burza, watch_event::blizej,
                                  watch_event::blisko, watch_event::spokoj};

// Standard output carries one document or line a check, nothing else, in the forms that a
// program reads; the event lines go to standard error then.
bool output_for_programs(const watch_request& request) {
    return request.json || request.waybar || !request.format.empty();
}

// The time of a check on the track's clock: the wall clock at the start of the watch, then
// running at the request's rate.
double track_time(const watch_loop& loop, watch_clock::time_point at) {
    const double elapsed = std::chrono::duration<double>(at - loop.started).count();
    return static_cast<double>(loop.started_wall) + elapsed * loop.request.clock_rate;
}

std::string stamp() {
    return clock_time(std::time(nullptr)) + " ";
}

// Standard error, for the lines about the watch itself; the user's letters when not UTF-8. The
// line is the service's status too.
void tell(const watch_request& request, const std::string& text,
          line_priority priority = line_priority::warning) {
    const std::string line = stamp() + (request.utf8 ? text : ascii_stand_ins(text));
    tell_error_stream(line, priority);
    notify_service("STATUS=" + line);
}

// Standard output, with the line's priority when it is the journal.
void print_line(const std::string& line, line_priority priority) {
    static const bool journal = is_journal_stream(STDOUT_FILENO);
    std::cout << with_priority(line, priority, journal) << '\n' << std::flush;
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

std::string town_answer_text(const std::string& typed) {
    start_run_deadline(); // each lookup (in its own child) gets the whole time
    const town_answer answer = look_up_town(typed);
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

// 0 with `town` settled, 1 for an unknown town, -1 when stopped.
int settle_town(const watch_request& request, alert_commands& alerts, town_record& town,
                bool& ready) {
    if (request.report.point) {
        town = point_town(request.report);
        return 0;
    }
    const std::string& typed = request.report.town;
    const auto collect = [&] { alerts.collect(); };
    for (int failures = 1;; ++failures) {
        const auto started = watch_clock::now();
        std::string text;
        const child_outcome outcome =
            run_in_child([&] { return town_answer_text(typed); }, text, collect);
        if (outcome == child_outcome::stopped) {
            return -1;
        }
        const town_answer answer = parse_town_answer(text, typed);
        if (answer.status == town_status::found) {
            town = answer.town;
            return 0;
        }
        if (answer.status == town_status::unknown) {
            tell_error_stream("Na serwerze " + storm_host() + " brak danych o tej miejscowości.",
                              line_priority::error);
            return 1;
        }
        const double wait = service_wait_s(request.every_s, request.storm_remote, failures);
        tell(request, "Nie udało się ustalić współrzędnych: " + failed_services({"town"}) +
                          ". Następna próba za " + wait_text(wait) + ".");
        tell_ready(ready);
        if (!sleep_until(after(started, wait), collect)) {
            return -1;
        }
    }
}

// --- one check, in a child ------------------------------------------------------------------

bool parse_object(const std::string& text, Json::Value& object) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &object, nullptr) &&
           object.isObject();
}

watch_check check_of(const Json::Value& document) {
    watch_check check;
    const Json::Value& lightning = document["lightning"];
    if (!lightning.isObject()) {
        return check;
    }
    check.known = true;
    check.strikes = lightning["strikes"].asInt();
    if (lightning["nearest_km"].isNumeric()) {
        check.nearest_km = lightning["nearest_km"].asDouble();
    }
    if (lightning["direction"].isString()) {
        check.direction = lightning["direction"].asString();
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

// The estimate as the child tells it to the watch: every figure exact (17 digits), "null" for
// none.
std::string estimate_text(const std::optional<approach_estimate>& estimate) {
    if (!estimate) {
        return "null";
    }
    Json::Value value(Json::objectValue);
    value["radial_kmh"] = estimate->radial_kmh;
    value["eta_min"] = estimate->eta_min ? Json::Value(*estimate->eta_min) : Json::Value();
    value["closest_km"] = estimate->closest_km;
    value["moving_to"] = estimate->moving_to;
    value["points"] = estimate->points;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["precision"] = 17;
    return Json::writeString(builder, value);
}

bool parse_estimate(const std::string& text, std::optional<approach_estimate>& estimate) {
    estimate.reset();
    if (text == "null") {
        return true;
    }
    Json::Value value;
    if (!parse_object(text, value) || !value["radial_kmh"].isNumeric() ||
        !value["closest_km"].isNumeric() || !value["moving_to"].isString() ||
        !value["points"].isInt() || !(value["eta_min"].isNull() || value["eta_min"].isNumeric())) {
        return false;
    }
    approach_estimate parsed;
    parsed.radial_kmh = value["radial_kmh"].asDouble();
    if (value["eta_min"].isNumeric()) {
        parsed.eta_min = value["eta_min"].asDouble();
    }
    parsed.closest_km = value["closest_km"].asDouble();
    parsed.moving_to = value["moving_to"].asString();
    parsed.points = value["points"].asInt();
    estimate = parsed;
    return true;
}

// The document; the approach estimate over the place's track before the check (at `time_s` on
// the track's clock) and the check's observation, as the watch reads it from the document; the
// check's line for each event it may raise (the event is known only after the check, to the
// watch); the Waybar object: one a line. The lines, the Waybar tooltip and the watch's alert
// rules all take this one estimate. The watch records the check's row after the child ends.
std::string check_text(const watch_request& request, const town_record& town,
                       const track_place& place, double time_s) {
    start_run_deadline(); // each check (in its own child) gets the whole time
    run_report report = gather_town_report(request.report, town);
    std::string text = document_text(report_document(report));
    Json::Value document;
    parse_object(text, document);
    const watch_check check = check_of(document);
    if (check.known) {
        std::vector<observation> track = track_before(db_full_path, place, time_s);
        track.push_back(observation_at(check, time_s));
        report.approach = estimate_approach(track, request.rules.danger_km);
    }
    // Not approach_included: the watch's own line adds the estimate's text (check_line).
    report.danger_km = request.rules.danger_km;
    text += "\n" + estimate_text(report.approach);
    // JSON is UTF-8 whatever the locale.
    const bool utf8 = request.utf8 || request.waybar;
    for (const watch_event event : all_events) {
        const std::string id = event == watch_event::none ? "" : event_id(event);
        text += "\n" + machine_line(report, request.format, id, utf8);
    }
    if (request.waybar) {
        text += "\n" + document_text(waybar_object(report, "", ""));
    }
    return text;
}

// The lines of a text, empty ones included.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    lines.push_back(text.substr(start));
    return lines;
}

bool from_weather_service(const std::string& source) {
    return source == "weather" || source == "forecast";
}

check_answer parse_check(const std::string& text, bool waybar) {
    check_answer answer;
    const std::vector<std::string> lines = lines_of(text);
    const std::size_t expected = 2 + std::size(all_events) + (waybar ? 1 : 0);
    if (lines.size() != expected || !parse_object(lines[0], answer.document) ||
        !parse_estimate(lines[1], answer.estimate) ||
        (waybar && !parse_object(lines.back(), answer.waybar))) {
        return answer;
    }
    answer.lines.assign(lines.begin() + 2, lines.begin() + 2 + std::size(all_events));
    for (const Json::Value& error : answer.document["errors"]) {
        answer.failed_sources.push_back(error["source"].asString());
        if (!from_weather_service(error["source"].asString())) {
            answer.failure_messages.push_back(error["message"].asString());
        }
    }
    answer.usable = true;
    return answer;
}

// Red for a storm and for one that came near, yellow for one closer, green for the all-clear.
const std::string& event_colour(const colour_codes& colours, watch_event event,
                                const watch_check& check) {
    switch (event) {
    case watch_event::burza:
    case watch_event::blisko:
        return colours.red;
    case watch_event::blizej:
        return check.nearest_km && *check.nearest_km <= near_strike_km ? colours.red
                                                                       : colours.yellow;
    case watch_event::spokoj:
        return colours.green;
    case watch_event::none:
        break;
    }
    return colours.plain;
}

void show_event(watch_loop& loop, watch_event event, const event_facts& facts) {
    const watch_request& request = loop.request;
    const std::string line = event_line(event, facts);
    const std::string plain = request.utf8 ? line : ascii_stand_ins(line);
    if (output_for_programs(request)) {
        tell_error_stream(stamp() + plain, line_priority::notice);
    } else {
        print_line(
            stamp() + coloured(plain, event_colour(loop.colours, event, facts.check), loop.colours),
            line_priority::notice);
    }
    notify_service("STATUS=" + stamp() + plain);
    alert event_alert;
    event_alert.title = event_title(event);
    event_alert.message = line;
    event_alert.environment = event_environment(event, facts);
    loop.alerts.raise(event_alert);
    if (loop.mqtt != nullptr) {
        const watch_check& check = facts.check;
        loop.mqtt->publish_event({event_id(event), facts.town, facts.radius_km, check.strikes,
                                  check.nearest_km, check.direction});
    }
}

// `time_s`: the check's time on the track's clock.
void show_check(watch_loop& loop, check_answer& answer, double time_s) {
    const watch_request& request = loop.request;
    const watch_check check = check_of(answer.document);
    const double now_s = std::chrono::duration<double>(watch_clock::now() - loop.started).count();
    const std::optional<double> previous_km = loop.state.last_nearest_km;
    // The estimate the child's lines show, then the check's row.
    const std::optional<approach_estimate>& estimate = answer.estimate;
    const watch_step step =
        next_watch_step(loop.state, check, now_s, request.rules, comes_within_ring(estimate));
    loop.state = step.state;
    if (check.known) {
        record_observation(db_full_path, place_of(loop), observation_at(check, time_s),
                           event_id(step.event), static_cast<double>(std::time(nullptr)));
    }
    const std::string approach = approach_text(estimate, request.rules.danger_km);
    const std::size_t event_index =
        std::find(std::begin(all_events), std::end(all_events), step.event) -
        std::begin(all_events);
    const std::string& event_line_text = answer.lines[event_index];
    const std::string line = request.format.empty()
                                 ? check_line(event_line_text, step.trend, approach)
                                 : event_line_text;
    answer.document["approach"] = approach_value(estimate);
    if (loop.mqtt != nullptr) {
        loop.mqtt->publish_state(document_text(answer.document));
    }
    if (request.waybar) {
        answer.waybar["text"] = line;
        if (step.event != watch_event::none) {
            answer.waybar["alt"] = event_id(step.event);
        }
        print_line(document_text(answer.waybar), line_priority::info);
    } else if (request.json) {
        answer.document["event"] =
            step.event == watch_event::none ? Json::Value() : Json::Value(event_id(step.event));
        print_line(document_text(answer.document), line_priority::info);
    } else if (!request.format.empty()) {
        print_line(line, line_priority::info);
    } else {
        print_line(stamp() + (request.utf8 ? line : ascii_stand_ins(line)), line_priority::info);
    }
    notify_service("STATUS=" + stamp() + line);
    if (step.event != watch_event::none) {
        event_facts facts;
        facts.town = loop.town.name;
        facts.radius_km = request.report.radius_km;
        facts.check = check;
        facts.previous_km = previous_km;
        facts.clear_after_min = request.rules.clear_after_s / 60;
        facts.danger_km = request.rules.danger_km;
        facts.approach = estimate;
        show_event(loop, step.event, facts);
    }
}

// --- the weather, in a child beside the checks ----------------------------------------------

bool weather_wanted(const watch_request& request) {
    return request.report.weather || request.report.forecast;
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

// Takes the weather child's answer once it has ended: its replies join the next checks, and the
// weather's schedule moves on (after a failure, from its end: a request that hung for the whole
// time-out is not asked again at once).
void take_weather(watch_loop& loop) {
    std::string text;
    if (!loop.weather_child.finished(text)) {
        return;
    }
    const auto now = watch_clock::now();
    weather_outcome outcome;
    const result<std::vector<weather_part>> parts = parse_weather_parts(text);
    if (parts) {
        loop.weather = *parts;
        loop.weather_had = now;
        for (const weather_part& part : *parts) {
            if (weather_part_failed(part)) {
                outcome.failed.push_back(part.source);
                outcome.why.push_back(weather_failure_message(part.reply));
            }
        }
    } else {
        outcome.failed = weather_sources(loop.request);
        outcome.why.push_back(parts.error());
    }
    weather_ended(loop, outcome, now);
}

// At a signal (SIGCHLD among them): the commands that have ended, and the weather child's
// answer as soon as it is in, so that its back-off counts from its end.
void collect_children(watch_loop& loop) {
    loop.alerts.collect();
    take_weather(loop);
}

// Starts the weather child when the weather is due and none runs.
void ask_weather(watch_loop& loop) {
    const auto now = watch_clock::now();
    if (!weather_wanted(loop.request) || loop.weather_child.running() || now < loop.weather_due) {
        return;
    }
    const report_request request = loop.request.report;
    loop.weather_asked = now;
    const result<void> started =
        loop.weather_child.start([request] { return weather_parts_text(request); });
    if (!started) {
        // Not asked at all: a failure like any other, backed off as one.
        weather_ended(loop, {weather_sources(loop.request), {started.error()}}, now);
    }
}

// In the check's child: the weather replies had so far stand in for its weather requests; the
// parts without one are left out of the check.
void use_weather_had(watch_request& request, const std::vector<weather_part>& parts,
                     watch_clock::time_point had) {
    const long age_s = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(watch_clock::now() - had).count());
    bool weather = false;
    bool forecast = false;
    for (const weather_part& part : parts) {
        weather_reply reply = part.reply;
        reply.age_s += age_s;
        supply_weather_reply(part.path, reply);
        weather = weather || part.source == "weather";
        forecast = forecast || part.source == "forecast";
    }
    request.report.weather = request.report.weather && weather;
    request.report.forecast = request.report.forecast && forecast;
}

// Tells of failed services, each failure's cause, and of their return; keeps count of the storm
// service's failed checks in a row. `failed`: the sources that failed in the check, `why`: the
// check's messages about them; the weather's come from its child, when it has ended since the
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
    std::string text = "Sprawdzenie nieudane: " + failed_services(sources) + ". Następne za " +
                       wait_text(check_wait_s(loop.request.every_s, loop.request.storm_remote,
                                              loop.storm_failures));
    if (weather_failed) {
        text += ", pogoda za " +
                wait_text(service_wait_s(loop.request.every_s, loop.request.weather_remote,
                                         loop.weather_failures));
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

// One check; false when stopped. The weather comes from its own child: the check shows the
// replies it has had so far.
bool check_once(watch_loop& loop) {
    const watch_clock::time_point checked = watch_clock::now();
    // Each check is a run of its own, with the whole budget for waiting on locked databases: a
    // watch that runs for weeks never spends it once and for all.
    reset_database_busy_wait();
    take_weather(loop);
    ask_weather(loop);
    const double time_s = track_time(loop, checked);
    std::string text;
    const child_outcome outcome = run_in_child(
        [&] {
            watch_request request = loop.request;
            use_weather_had(request, loop.weather, loop.weather_had);
            return check_text(request, loop.town, place_of(loop), time_s);
        },
        text, [&] { collect_children(loop); });
    if (outcome == child_outcome::stopped) {
        return false;
    }
    // A weather service that failed at once is told with this check.
    take_weather(loop);
    check_answer answer = parse_check(text, loop.request.waybar);
    if (!answer.usable) {
        account_failures(loop, {"lightning", "warnings"}, {});
        return true;
    }
    show_check(loop, answer, time_s);
    account_failures(loop, answer.failed_sources, answer.failure_messages);
    return static_cast<bool>(std::cout);
}

std::unique_ptr<mqtt_link> start_publishing(const watch_request& request, const town_record& town,
                                            wait_chore& chore) {
    mqtt_place place;
    place.name = town.name;
    place.radius_km = request.report.radius_km;
    place.interval_s = request.every_s;
    place.weather = request.report.weather;
    place.version = program_version;
    auto link = std::make_unique<mqtt_link>(
        *request.mqtt, place, [&request](const std::string& text) { tell(request, text); });
    mqtt_link* const served = link.get();
    chore.fd = [served] { return served->socket(); };
    chore.wants_write = [served] { return served->wants_write(); };
    chore.run = [served] { served->service(); };
    return link;
}

// The watch itself, from its place settled to its end.
int watch_place(watch_loop& loop) {
    const watch_request& request = loop.request;
    const int settled = settle_town(request, loop.alerts, loop.town, loop.ready);
    if (settled != 0) {
        return settled > 0 ? 1 : 0;
    }
    // The TLS context is made once here; every check's child starts with it.
    prepare_storm_request();
    std::unique_ptr<mqtt_link> link;
    wait_chore chore;
    if (request.mqtt) {
        link = start_publishing(request, loop.town, chore);
        loop.mqtt = link.get();
    }
    // Every wait from here on serves the broker; none after the link is gone.
    const std::unique_ptr<const wait_chore, void (*)(const wait_chore*)> chore_in_use(
        link ? &chore : nullptr, [](const wait_chore*) { set_wait_chore(nullptr); });
    set_wait_chore(chore_in_use.get());
    const auto collect = [&] { collect_children(loop); };
    for (;;) {
        const auto started = watch_clock::now();
        if (!check_once(loop)) {
            return 0;
        }
        tell_ready(loop.ready);
        const double wait =
            check_wait_s(request.every_s, request.storm_remote, loop.storm_failures);
        if (!sleep_until(after(started, wait), collect)) {
            return 0;
        }
    }
}

} // namespace

int run_watch(const watch_request& request) {
    const wake_signals signals;
    if (!signals.ready()) {
        tell_error_stream("Nie udało się przygotować obsługi sygnałów.", line_priority::error);
        return 1;
    }
    alert_settings settings;
    settings.bell = !output_for_programs(request) && isatty(STDOUT_FILENO) == 1;
    settings.notify = request.notify;
    settings.command = request.command;
    watch_loop loop(request, settings);
    if (!output_for_programs(request)) {
        loop.colours = terminal_colours(request.colour);
    }
    notify_service("STATUS=" + stamp() + "Początek czuwania: " + request.report.town);
    const int status = watch_place(loop);
    notify_service("STOPPING=1");
    return status;
}

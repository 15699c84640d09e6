#include "watch/watch_run.h"

#include "approach/place_track.h"
#include "output/json_form.h"
#include "output/line_form.h"
#include "output/machine_run.h"
#include "output/ring.h"
#include "output/waybar_form.h"
#include "service/journal.h"
#include "service/notify.h"
#include "state/run_deadline.h"
#include "state/run_state.h"
#include "store/database.h"
#include "storm/storm_client.h"
#include "text/numbers.h"
#include "watch/channels.h"
#include "watch/child_run.h"
#include "watch/report_wire.h"
#include "watch/wake.h"
#include "watch/watch_output.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>

namespace {

constexpr int max_backoff_factor = 4;

// What came back from a check's child.
struct check_answer {
    bool usable = false;
    run_report report; // with the estimate that the lines and the alert rules take
    Json::Value document;
    std::vector<std::string> failed_sources;
};

struct watch_loop {
    const watch_request& request;
    town_record town;
    std::vector<open_channel> channels; // opened once the place is settled
    watch_state state;
    watch_clock::time_point started = watch_clock::now();
    std::time_t started_wall = std::time(nullptr);
    // Each service backs off on its own: the storm service's failures space the checks out,
    // the weather service's only its own requests (the lightning never waits for the weather).
    int storm_failures = 0;
    int weather_failures = 0;
    watch_clock::time_point weather_due = watch_clock::now();
    mqtt_link* mqtt = nullptr; // the broker, when publishing
    bool ready = false;        // the service manager has been told that the watch runs
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

channel_setup channel_setup_of(const watch_request& request, mqtt_link* mqtt) {
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
    return setup;
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

double backoff_s(const watch_request& request, int failures) {
    const int factor = failures <= 1 ? 1 : std::min(1 << (failures - 1), max_backoff_factor);
    return request.every_s * factor;
}

watch_clock::time_point after(watch_clock::time_point from, double seconds) {
    return from + std::chrono::duration_cast<watch_clock::duration>(
                      std::chrono::duration<double>(seconds));
}

// 0 with `town` settled, 1 for an unknown town, -1 when stopped.
int settle_town(const watch_request& request, town_record& town, bool& ready) {
    if (request.report.point) {
        town = point_town(request.report);
        return 0;
    }
    const std::string& typed = request.report.town;
    const auto collect = [] {}; // no alert has been raised yet
    for (int failures = 1;; ++failures) {
        const auto started = watch_clock::now();
        std::string text;
        const child_outcome outcome =
            run_in_child([&] { return town_answer_text(request.db_path, typed); }, text, collect);
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
        const double wait = backoff_s(request, failures);
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

// The records of the check, with the approach estimate over the place's track before the check
// (at `time_s` on the track's clock) and the check's observation, as the watch reads it from the
// document: the watch renders them in its form once the check's event is known. The lines, the
// Waybar tooltip and the watch's alert rules all take this one estimate. The watch records the
// check's row after the child ends.
std::string check_text(const watch_request& request, const town_record& town,
                       const track_place& place, double time_s) {
    start_run_deadline(); // each check (in its own child) gets the whole time
    run_report report = gather_town_report(request.report, town);
    Json::Value document;
    parse_object(document_text(report_document(report)), document);
    const watch_check check = check_of(document);
    if (check.known) {
        std::vector<observation> track = track_before(request.db_path, place, time_s);
        track.push_back(observation_at(check, time_s));
        report.approach = estimate_approach(track, request.rules.danger_km);
    }
    // Not approach_included: the watch's own line adds the estimate's text (check_note).
    report.danger_km = request.rules.danger_km;
    return report_wire(report);
}

check_answer parse_check(const std::string& text) {
    check_answer answer;
    if (!parse_report_wire(text, answer.report)) {
        return answer;
    }
    answer.document = report_document(answer.report);
    for (const report_error& error : answer.report.errors) {
        answer.failed_sources.push_back(error.source);
    }
    answer.usable = true;
    return answer;
}

void show_event(watch_loop& loop, watch_event event, const event_facts& facts) {
    const std::string line = event_line(event, facts);
    notify_service("STATUS=" + stamp() + (loop.request.utf8 ? line : ascii_stand_ins(line)));
    deliver_to_all(loop.channels, {event, facts, line});
}

// `time_s`: the check's time on the track's clock.
void show_check(watch_loop& loop, check_answer& answer, double time_s) {
    const watch_request& request = loop.request;
    const watch_check check = check_of(answer.document);
    const double now_s = std::chrono::duration<double>(watch_clock::now() - loop.started).count();
    const std::optional<double> previous_km = loop.state.last_nearest_km;
    // The estimate the lines show, then the check's row.
    const std::optional<approach_estimate>& estimate = answer.report.approach;
    const watch_step step =
        next_watch_step(loop.state, check, now_s, request.rules, comes_within_ring(estimate));
    loop.state = step.state;
    if (check.known) {
        record_observation(request.db_path, place_of(loop), observation_at(check, time_s),
                           event_id(step.event), static_cast<double>(std::time(nullptr)));
    }
    const std::string approach = approach_text(estimate, request.rules.danger_km);
    form_facts shown_facts{answer.report, request.format,       request.utf8,
                           true,          event_id(step.event), check_note(step.trend, approach)};
    answer.document["approach"] = approach_value(shown_approach(answer.report));
    if (loop.mqtt != nullptr) {
        loop.mqtt->publish_state(document_text(answer.document));
    }
    const std::string shown = render_form(request.form, shown_facts);
    if (output_for_programs(request)) {
        print_line(shown, line_priority::info);
    } else {
        print_line(stamp() + shown, line_priority::info);
    }
    // The service's status: the check's line, in UTF-8 where the form is.
    shown_facts.utf8 = request.utf8 || request.form == output_form::waybar ||
                       request.form == output_form::i3blocks;
    notify_service("STATUS=" + stamp() + render_form(output_form::line, shown_facts));
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

bool from_weather_service(const std::string& source) {
    return source == "weather" || source == "forecast";
}

// Tells of failed services and of their return; keeps count, per service, of failed checks in
// a row. `weather_asked`: the check, started at `check_started`, included the weather parts.
void account_failures(watch_loop& loop, const std::vector<std::string>& failed, bool weather_asked,
                      watch_clock::time_point check_started) {
    const bool failing_before = loop.storm_failures > 0 || loop.weather_failures > 0;
    const bool weather_failed = std::any_of(failed.begin(), failed.end(), from_weather_service);
    const bool storm_failed =
        std::any_of(failed.begin(), failed.end(),
                    [](const std::string& source) { return !from_weather_service(source); });
    loop.storm_failures = storm_failed ? loop.storm_failures + 1 : 0;
    if (weather_asked) {
        loop.weather_failures = weather_failed ? loop.weather_failures + 1 : 0;
    }
    const double weather_wait = backoff_s(loop.request, loop.weather_failures);
    if (weather_failed) {
        loop.weather_due = after(check_started, weather_wait);
    }
    if (failed.empty()) {
        if (failing_before && loop.storm_failures == 0 && loop.weather_failures == 0) {
            tell(loop.request, "Serwery znów odpowiadają.", line_priority::notice);
        }
        return;
    }
    std::string text = "Sprawdzenie nieudane: " + failed_services(failed) + ". Następne za " +
                       wait_text(backoff_s(loop.request, loop.storm_failures));
    if (weather_failed) {
        text += ", pogoda za " + wait_text(weather_wait);
    }
    tell(loop.request, text + ".");
}

// One check; false when stopped. The weather parts are left out while the weather service
// backs off.
bool check_once(watch_loop& loop) {
    const watch_clock::time_point checked = watch_clock::now();
    // Each check is a run of its own, with the whole budget for waiting on locked databases: a
    // watch that runs for weeks never spends it once and for all.
    reset_database_busy_wait();
    watch_request request = loop.request;
    const bool weather_asked = checked >= loop.weather_due;
    if (!weather_asked) {
        request.report.weather = false;
        request.report.forecast = false;
    }
    const double time_s = track_time(loop, checked);
    std::string text;
    const child_outcome outcome =
        run_in_child([&] { return check_text(request, loop.town, place_of(loop), time_s); }, text,
                     [&] { collect_all(loop.channels); });
    if (outcome == child_outcome::stopped) {
        return false;
    }
    check_answer answer = parse_check(text);
    if (!answer.usable) {
        answer.failed_sources = {"lightning", "warnings"};
        account_failures(loop, answer.failed_sources, false, checked);
        return true;
    }
    show_check(loop, answer, time_s);
    account_failures(loop, answer.failed_sources, weather_asked, checked);
    return static_cast<bool>(std::cout);
}

std::unique_ptr<mqtt_link> start_publishing(const watch_request& request, const town_record& town,
                                            wait_chore& chore) {
    mqtt_place place;
    place.key = {town.name, town.latitude, town.longitude, request.report.radius_km,
                 request.report.point.has_value()};
    place.usual_radius_km = report_request().radius_km;
    place.interval_s = request.every_s;
    place.weather = request.report.weather;
    place.version = program_version;
    auto link = std::make_unique<mqtt_link>(
        *request.mqtt, place, [&request](const std::string& text) { tell(request, text); });
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
    const int settled = settle_town(request, loop.town, loop.ready);
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
    loop.channels = open_channels(channel_setup_of(request, loop.mqtt));
    const auto collect = [&] { collect_all(loop.channels); };
    for (int done = 1;; ++done) {
        const auto started = watch_clock::now();
        if (!check_once(loop)) {
            return 0;
        }
        tell_ready(loop.ready);
        if (request.checks && done >= *request.checks) {
            return 0;
        }
        if (!sleep_until(after(started, backoff_s(request, loop.storm_failures)), collect)) {
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
    watch_loop loop{request, {}, {}, {}};
    notify_service("STATUS=" + stamp() + "Początek czuwania: " + request.report.town);
    const int status = watch_place(loop);
    notify_service("STOPPING=1");
    return status;
}

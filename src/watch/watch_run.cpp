#include "watch/watch_run.h"

#include "approach/place_track.h"
#include "approach/watch_events.h"
#include "mqtt/mqtt_commands.h"
#include "mqtt/position.h"
#include "output/json_form.h"
#include "service/journal.h"
#include "service/notify.h"
#include "state/run_state.h"
#include "storm/storm_client.h"
#include "storm/town_lookup.h"
#include "text/failure_cause.h"
#include "text/text.h"
#include "watch/child_run.h"
#include "watch/order_service.h"
#include "watch/place_controls.h"
#include "watch/report_wire.h"
#include "watch/schedule.h"
#include "watch/wake.h"
#include "watch/watch_commands.h"
#include "watch/watch_loop.h"
#include "watch/watch_output.h"
#include "watch/watch_print.h"
#include "watch/watch_weather.h"
#include "watch/weather_child.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

namespace {

// The time of a check on the track's clock: the wall clock at the start of the watch, then
// running as the watch's clock does.
double track_time(const watch_loop& loop, watch_clock::time_point at) {
    if (loop.request.clock_rate != 1) {
        return watch_time(loop.request.clock_rate, at);
    }
    const double elapsed = std::chrono::duration<double>(at - loop.started).count();
    return static_cast<double>(loop.started_wall) + elapsed;
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

// The place of the watch's track.
track_place place_of(const watch_loop& loop) {
    return {loop.town.name, loop.town.latitude.value_or(0), loop.town.longitude.value_or(0),
            loop.request.report.radius_km};
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

} // namespace

watch_clock::time_point after(watch_clock::time_point from, double seconds) {
    return from + std::chrono::duration_cast<watch_clock::duration>(
                      std::chrono::duration<double>(seconds));
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

// One check; false when stopped. The weather comes from its own order: the check shows the
// replies it has had so far. `fresh`: the lightning is asked anew, never taken from a reply that
// the cache keeps from the check before. `collect`: what ends meanwhile is collected there (by
// default, the place's own commands and weather).
bool check_once(watch_loop& loop, bool fresh, const std::function<void()>& collect) {
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

// When the place's all-clear falls due, on the clock of the waits.
std::optional<watch_clock::time_point> all_clear_time(const watch_loop& loop) {
    const std::optional<double> due = all_clear_due(loop.state, rules_now(loop));
    return due ? std::optional<watch_clock::time_point>(after(loop.started, *due)) : std::nullopt;
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
                                            wait_chore& chore, bool several) {
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

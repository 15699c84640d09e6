#include "watch/watch_weather.h"

#include "output/json_form.h"
#include "storm/storm_client.h"
#include "watch/child_run.h"
#include "watch/report_wire.h"
#include "watch/schedule.h"
#include "watch/watch_commands.h"
#include "watch/weather_child.h"
#include "weather/curl_library.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

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

} // namespace

bool from_weather_service(const std::string& source) {
    return source == "weather" || source == "forecast";
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

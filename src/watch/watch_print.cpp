#include "watch/watch_print.h"

#include "approach/watch_events.h"
#include "mqtt/position.h"
#include "output/json_form.h"
#include "output/line_form.h"
#include "output/machine_run.h"
#include "output/ring.h"
#include "service/notify.h"
#include "watch/order_service.h"
#include "watch/place_controls.h"
#include "watch/wake.h"
#include "watch/watch_output.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <string>

namespace {

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

} // namespace

channel_setup channel_setup_of(const watch_request& request, mqtt_link* mqtt,
                               std::size_t mqtt_place) {
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
double watch_time(double clock_rate, watch_clock::time_point at) {
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

// Seconds of the watch's clock for `real_s` real seconds: what the watch says of its waits.
double on_watch_clock(const watch_request& request, double real_s) {
    return real_s * request.clock_rate;
}

std::string stamp(const watch_request& request) {
    return clock_time(static_cast<std::time_t>(std::floor(watch_time(request.clock_rate)))) + " ";
}

// Standard error, for the lines about the watch itself; the user's letters when not UTF-8. The
// line is the service's status too.
void tell(const watch_request& request, const std::string& text, line_priority priority) {
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

// The state document as published: with the commands on, what they changed as well.
std::string published_state(const watch_loop& loop) {
    Json::Value document = loop.published;
    if (loop.request.mqtt && loop.request.mqtt->commands) {
        document["commands"] =
            controls_value(loop.controls, loop.position.has_value(), wall_now_s(loop));
    }
    return document_text(document);
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

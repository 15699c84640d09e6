#include "watch/watch_run.h"

#include "output/json_form.h"
#include "output/line_form.h"
#include "output/machine_run.h"
#include "output/waybar_form.h"
#include "storm/storm_client.h"
#include "text/numbers.h"
#include "watch/alerts.h"
#include "watch/child_run.h"
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
    Json::Value document;
    std::vector<std::string> lines; // the check's line for each watch_event (by its value)
    Json::Value waybar;             // the Waybar object without the event (--waybar)
    std::vector<std::string> failed_sources;
};

struct watch_loop {
    const watch_request& request;
    town_record town;
    alert_commands alerts;
    watch_state state;
    watch_clock::time_point started = watch_clock::now();
    int failures = 0;
    colour_codes colours = {};
};

const watch_event all_events[] = {watch_event::none, watch_event::burza, watch_event::blizej,
                                  watch_event::spokoj};

// Standard output carries one document or line a check, nothing else, in the forms that a
// program reads; the event lines go to standard error then.
bool output_for_programs(const watch_request& request) {
    return request.json || request.waybar || !request.format.empty();
}

std::string stamp() {
    return clock_time(std::time(nullptr)) + " ";
}

// Standard error, for the lines about the watch itself; the user's letters when not UTF-8.
void tell(const watch_request& request, const std::string& text) {
    std::cerr << stamp() << (request.utf8 ? text : ascii_stand_ins(text)) << '\n' << std::flush;
}

// --- the town, looked up once in a child ------------------------------------------------

std::string town_answer_text(const std::string& typed) {
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

double backoff_s(const watch_request& request, int failures) {
    const int factor = failures <= 1 ? 1 : std::min(1 << (failures - 1), max_backoff_factor);
    return request.every_s * factor;
}

watch_clock::time_point after(watch_clock::time_point from, double seconds) {
    return from + std::chrono::duration_cast<watch_clock::duration>(
                      std::chrono::duration<double>(seconds));
}

// 0 with `town` settled, 1 for an unknown town, -1 when stopped.
int settle_town(const watch_request& request, alert_commands& alerts, town_record& town) {
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
            std::cerr << "Na serwerze " << storm_host() << " brak danych o tej miejscowości.\n";
            return 1;
        }
        const double wait = backoff_s(request, failures);
        tell(request, "Nie udało się ustalić współrzędnych: " + failed_services({"town"}) +
                          ". Następna próba za " + wait_text(wait) + ".");
        if (!sleep_until(after(started, wait), collect)) {
            return -1;
        }
    }
}

// --- one check, in a child ------------------------------------------------------------------

// The document, then the check's line for each event it may raise (the event is known only
// after the check, to the watch), then the Waybar object: one a line.
std::string check_text(const watch_request& request, const town_record& town) {
    const run_report report = gather_town_report(request.report, town);
    std::string text = document_text(report_document(report));
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

bool parse_object(const std::string& text, Json::Value& object) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &object, nullptr) &&
           object.isObject();
}

check_answer parse_check(const std::string& text, bool waybar) {
    check_answer answer;
    const std::vector<std::string> lines = lines_of(text);
    const std::size_t expected = 1 + std::size(all_events) + (waybar ? 1 : 0);
    if (lines.size() != expected || !parse_object(lines[0], answer.document) ||
        (waybar && !parse_object(lines.back(), answer.waybar))) {
        return answer;
    }
    answer.lines.assign(lines.begin() + 1, lines.begin() + 1 + std::size(all_events));
    for (const Json::Value& error : answer.document["errors"]) {
        answer.failed_sources.push_back(error["source"].asString());
    }
    answer.usable = true;
    return answer;
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

// Red for a storm and for one that came near, yellow for one closer, green for the all-clear.
const std::string& event_colour(const colour_codes& colours, watch_event event,
                                const watch_check& check) {
    switch (event) {
    case watch_event::burza:
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
    const std::string shown =
        stamp() + coloured(request.utf8 ? line : ascii_stand_ins(line),
                           event_colour(loop.colours, event, facts.check), loop.colours);
    (output_for_programs(request) ? std::cerr : std::cout) << shown << '\n' << std::flush;
    alert event_alert;
    event_alert.title = event_title(event);
    event_alert.message = line;
    event_alert.environment = event_environment(event, facts);
    loop.alerts.raise(event_alert);
}

void show_check(watch_loop& loop, check_answer& answer) {
    const watch_request& request = loop.request;
    const watch_check check = check_of(answer.document);
    const double now_s = std::chrono::duration<double>(watch_clock::now() - loop.started).count();
    const std::optional<double> previous_km = loop.state.last_nearest_km;
    const watch_step step = next_watch_step(loop.state, check, now_s, request.rules);
    loop.state = step.state;
    const std::size_t event_index =
        std::find(std::begin(all_events), std::end(all_events), step.event) -
        std::begin(all_events);
    const std::string& line = answer.lines[event_index];
    if (request.waybar) {
        answer.waybar["text"] = line;
        if (step.event != watch_event::none) {
            answer.waybar["alt"] = event_id(step.event);
        }
        std::cout << document_text(answer.waybar) << '\n' << std::flush;
    } else if (request.json) {
        answer.document["event"] =
            step.event == watch_event::none ? Json::Value() : Json::Value(event_id(step.event));
        std::cout << document_text(answer.document) << '\n' << std::flush;
    } else if (!request.format.empty()) {
        std::cout << line << '\n' << std::flush;
    } else {
        std::cout << stamp() << check_line(line, step.trend) << '\n' << std::flush;
    }
    if (step.event != watch_event::none) {
        const event_facts facts{loop.town.name, request.report.radius_km, check, previous_km,
                                request.rules.clear_after_s / 60};
        show_event(loop, step.event, facts);
    }
}

// Tells of failed services and of their return; keeps count of failed checks in a row.
void account_failures(watch_loop& loop, const std::vector<std::string>& failed) {
    if (failed.empty()) {
        if (loop.failures > 0) {
            tell(loop.request, "Serwery znów odpowiadają.");
        }
        loop.failures = 0;
        return;
    }
    ++loop.failures;
    tell(loop.request, "Sprawdzenie nieudane: " + failed_services(failed) + ". Następne za " +
                           wait_text(backoff_s(loop.request, loop.failures)) + ".");
}

// One check; false when stopped.
bool check_once(watch_loop& loop) {
    std::string text;
    const child_outcome outcome = run_in_child([&] { return check_text(loop.request, loop.town); },
                                               text, [&] { loop.alerts.collect(); });
    if (outcome == child_outcome::stopped) {
        return false;
    }
    check_answer answer = parse_check(text, loop.request.waybar);
    if (!answer.usable) {
        answer.failed_sources = {"lightning", "warnings"};
        account_failures(loop, answer.failed_sources);
        return true;
    }
    show_check(loop, answer);
    account_failures(loop, answer.failed_sources);
    return static_cast<bool>(std::cout);
}

} // namespace

int run_watch(const watch_request& request) {
    const wake_signals signals;
    if (!signals.ready()) {
        std::cerr << "Nie udało się przygotować obsługi sygnałów.\n";
        return 1;
    }
    alert_settings settings;
    settings.bell = !output_for_programs(request) && isatty(STDOUT_FILENO) == 1;
    settings.notify = request.notify;
    settings.command = request.command;
    watch_loop loop{request, {}, alert_commands(settings), {}};
    if (!output_for_programs(request)) {
        loop.colours = terminal_colours(request.colour);
    }
    const int settled = settle_town(request, loop.alerts, loop.town);
    if (settled != 0) {
        return settled > 0 ? 1 : 0;
    }
    // The TLS context is made once here; every check's child starts with it.
    prepare_storm_request();
    const auto collect = [&] { loop.alerts.collect(); };
    for (;;) {
        const auto started = watch_clock::now();
        if (!check_once(loop)) {
            return 0;
        }
        if (!sleep_until(after(started, backoff_s(request, loop.failures)), collect)) {
            return 0;
        }
    }
}

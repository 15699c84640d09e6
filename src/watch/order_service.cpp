#include "watch/order_service.h"

#include "approach/place_track.h"
#include "state/run_deadline.h"
#include "store/lock_wait.h"
#include "store/reply_cache.h"
#include "store/shared_connection.h"
#include "storm/storm_requests.h"
#include "text/numbers.h"
#include "watch/report_wire.h"
#include "watch/weather_child.h"
#include "weather/weather_fetch.h"

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace {

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

} // namespace

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

observation observation_at(const watch_check& check, double time_s) {
    return {time_s, check.strikes, check.strikes > 0 ? check.nearest_km : std::nullopt,
            check.strikes > 0 ? check.direction : std::string()};
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

#include "report/report.h"

#include "approach/place_track.h"
#include "report/lightning_check.h"
#include "service/journal.h"
#include "state/run_deadline.h"
#include "store/lock_wait.h"
#include "storm/storm_client.h"
#include "storm/storm_requests.h"
#include "weather/weather_fetch.h"

#include <cmath>
#include <iostream>
#include <set>

namespace {

const unsigned forecast_days = 2;

// Each distinct message goes to standard error once per run.
void tell_once(const std::string& message) {
    static std::set<std::string> told;
    if (told.insert(message).second) {
        tell_error_stream(message, line_priority::warning);
    }
}

void add_error(run_report& report, const char* source, const std::string& message) {
    tell_once(message);
    report.errors.push_back({source, message});
}

// Why a storm report is missing or stale. A reply that came but cannot be read is malformed.
std::string storm_failure(const storm_result& result, const char* what) {
    const request_failure failure =
        result.failed ? result.failure : request_failure{failure_cause::malformed, ""};
    return storm_failure_message(failure, what);
}

std::string too_large(const std::string& host) {
    return "Odpowiedź serwera " + host + " jest za duża (ponad 1 MiB).";
}

} // namespace

std::string weather_failure_message(const weather_reply& reply) {
    const std::string& host = weather_host();
    if (reply.too_large) {
        return too_large(host);
    }
    if (!reply.transferred) {
        return "Nie udało się połączyć z serwerem " + host + ": " +
               failure_text(reply.failure_reason) + ".";
    }
    if (reply.http_status == 401) {
        return "Serwer " + host + " odrzucił klucz serwisu pogodowego (HTTP 401).";
    }
    if (reply.http_status == 429) {
        std::string message = "Wyczerpano limit zapytań do serwera " + host + " (HTTP 429)";
        if (reply.retry_after_s > 0) {
            message += "; spróbuj ponownie za " + std::to_string(reply.retry_after_s) + " s";
        }
        return message + ".";
    }
    if (reply.http_status == 404) {
        return "Na serwerze " + host + " brak danych o tej miejscowości.";
    }
    if (reply.http_status == 200) {
        return "Odebrałem nieprawidłowe dane z serwera " + host + ".";
    }
    return "Serwer " + host + " odpowiedział kodem HTTP " + std::to_string(reply.http_status) + ".";
}

namespace {

// The parsed reply of one weather request; null (with an error entry) when it is not usable. A
// stale reply standing in for a failed request is used, and the failure named.
Json::Value weather_document(run_report& report, const char* source, const std::string& path,
                             freshness& age) {
    const weather_reply reply = fetch_weather(path);
    age = freshness{reply.age_s, reply.stale};
    Json::Value document;
    const std::string& host = weather_host();
    if (reply.stale && reply.failed_request) {
        add_error(report, source, weather_failure_message(*reply.failed_request));
    }
    if (!reply.transferred || reply.http_status != 200) {
        add_error(report, source, weather_failure_message(reply));
    } else if (!parse_weather_document(reply.body, document)) {
        add_error(report, source, "Odebrałem nieprawidłowe dane z serwera " + host + ".");
    } else if (is_unknown_town_reply(document)) {
        add_error(report, source, "Na serwerze " + host + " brak danych o tej miejscowości.");
        document = Json::Value();
    }
    return document;
}

// The weather requests ask for the town by its name as typed, or for the point.
std::string current_path(const report_request& request) {
    return request.point ? current_weather_path_at(request.point->y, request.point->x)
                         : current_weather_path(request.town);
}

std::string forecast_path(const report_request& request) {
    return request.point ? daily_forecast_path_at(request.point->y, request.point->x, forecast_days)
                         : daily_forecast_path(request.town, forecast_days);
}

void gather_weather(run_report& report, const report_request& request) {
    if (report.weather_included) {
        const Json::Value document =
            weather_document(report, "weather", current_path(request), report.weather_age);
        if (!document.isNull()) {
            report.weather = extract_current_weather(document);
        }
    }
    if (report.forecast_included) {
        const Json::Value document =
            weather_document(report, "forecast", forecast_path(request), report.forecast_age);
        if (!document.isNull()) {
            report.forecast = extract_daily_forecast(document);
            if (!report.forecast) {
                add_error(report, "forecast", "Odpowiedź serwera nie zawiera prognozy.");
            }
        }
    }
}

void gather_storm(run_report& report) {
    const town_record& town = report.town;
    const storm_result warnings = request_warnings(town.y, town.x);
    report.warnings = extract_warnings(warnings.text);
    report.warnings_age = freshness{warnings.age_s, warnings.stale};
    if (!report.warnings || warnings.failed) {
        add_error(report, "warnings", storm_failure(warnings, "ostrzeżeń pogodowych"));
    }
    const storm_result lightning = request_lightning(town.y, town.x, report.radius_km);
    report.lightning = checked_lightning(extract_lightning(lightning.text), report.radius_km);
    report.lightning_age = freshness{lightning.age_s, lightning.stale, lightning.asked};
    if (!report.lightning || lightning.failed) {
        add_error(report, "lightning",
                  storm_failure(lightning, "danych o wyładowaniach atmosferycznych"));
    }
}

// The record before any answer, with the weather requests started: they need only the name
// as typed, the storm reports the coordinates, and each starts as soon as what it needs is known.
run_report started_report(const report_request& request) {
    run_report report;
    report.radius_km = request.radius_km;
    report.weather_included = request.weather;
    report.forecast_included = request.forecast;
    report.place = request.place;
    std::vector<std::string> paths;
    for (const weather_request& part : weather_requests(request)) {
        paths.push_back(part.path);
    }
    start_weather_requests(paths);
    return report;
}

// The run's time limit as a number of seconds: "30", "2.5".
std::string limit_text() {
    const long long ms = run_time_limit().count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        text += "," + fraction;
    }
    return text;
}

// A part failed and the run's time ran out: say that the time ran out too.
void tell_deadline(const run_report& report) {
    if (!report.errors.empty() && run_deadline_passed()) {
        tell_once("Minął czas na odpowiedź (" + limit_text() +
                  " s): czego nie zdążyłem pobrać, podaję jako nieudane.");
    }
}

} // namespace

std::vector<weather_request> weather_requests(const report_request& request) {
    std::vector<weather_request> parts;
    if (request.weather) {
        parts.push_back({"weather", current_path(request)});
    }
    if (request.forecast) {
        parts.push_back({"forecast", forecast_path(request)});
    }
    return parts;
}

std::string place_name(const run_report& report) {
    if (!report.place.empty()) {
        return report.place;
    }
    return report.town.name.empty() ? report.town.typed : report.town.name;
}

std::string place_reference(const run_report& report) {
    const town_record& town = report.town;
    const std::string town_name = town.name.empty() ? town.typed : town.name;
    if (report.place.empty()) {
        return "miejscowości " + town_name;
    }
    const bool point = town.name == report.place && !town.y.empty() && !town.x.empty();
    return "miejsca " + report.place + " (" + (point ? town.y + ", " + town.x : town_name) + ")";
}

town_record point_town(const report_request& request) {
    town_record town;
    if (request.point) {
        town.name = request.town.empty() ? place_point_name(*request.point) : request.town;
        town.typed = request.point->y + "," + request.point->x;
        town.y = request.point->y;
        town.x = request.point->x;
        town.latitude = request.point->latitude;
        town.longitude = request.point->longitude;
    }
    return town;
}

run_report gather_report(const std::string& db_path, const report_request& request) {
    if (request.point) {
        return gather_town_report(request, point_town(request));
    }
    run_report report = started_report(request);
    const town_answer answer = look_up_town(db_path, request.town);
    if (answer.status == town_status::found) {
        start_storm_reports(answer.town.y, answer.town.x, request.radius_km);
    }
    report.town_outcome = answer.status;
    report.town = answer.town;
    if (answer.status == town_status::unknown) {
        add_error(report, "town",
                  "Na serwerze " + storm_host() + " brak danych o tej miejscowości.");
    } else if (answer.status == town_status::failed) {
        add_error(report, "town",
                  storm_failure_message(answer.failure, "współrzędnych miejscowości"));
    }
    gather_weather(report, request);
    if (answer.status == town_status::found) {
        gather_storm(report);
    }
    tell_deadline(report);
    report.made_at = std::time(nullptr);
    return report;
}

run_report gather_town_report(const report_request& request, const town_record& town) {
    run_report report = started_report(request);
    start_storm_reports(town.y, town.x, request.radius_km);
    report.town_outcome = town_status::found;
    report.town = town;
    gather_weather(report, request);
    gather_storm(report);
    tell_deadline(report);
    report.made_at = std::time(nullptr);
    return report;
}

std::optional<long> oldest_stale_age(const run_report& report) {
    std::optional<long> oldest;
    const std::pair<bool, freshness> parts[] = {
        {report.lightning.has_value(), report.lightning_age},
        {report.warnings.has_value(), report.warnings_age},
        {report.weather.has_value(), report.weather_age},
        {report.forecast.has_value(), report.forecast_age},
    };
    for (const auto& [given, age] : parts) {
        if (given && age.stale && (!oldest || age.age_s > *oldest)) {
            oldest = age.age_s;
        }
    }
    return oldest;
}

int report_status(const run_report& report) {
    if (report.town_outcome == town_status::unknown) {
        return unknown_place_status;
    }
    if (!report.lightning) {
        return 1;
    }
    return oldest_stale_age(report) ? 3 : 0;
}

void add_approach(const std::string& db_path, run_report& report, double danger_km) {
    report.approach_included = true;
    report.danger_km = danger_km;
    const town_record& town = report.town;
    if (report.town_outcome != town_status::found || !report.lightning || town.name.empty()) {
        return;
    }
    const track_place place{town.name, town.latitude.value_or(0), town.longitude.value_or(0),
                            report.radius_km};
    const double now_s = static_cast<double>(report.made_at);
    std::optional<observation> seen;
    // Only an answer the service gave this run is its observation: the run that asked records
    // a reply that others shared or found in the cache.
    if (report.lightning_age.asked) {
        const lightning_report& lightning = *report.lightning;
        seen = observation{now_s, lightning.count,
                           lightning.count > 0 ? lightning.distance_km : std::nullopt,
                           lightning.count > 0 ? lightning.direction : std::string()};
        const result<void> recorded = record_observation(db_path, place, *seen, "", now_s);
        if (!recorded) {
            tell_database_failure(recorded.error(), line_priority::warning);
        }
    }
    const std::vector<observation> track = track_until(db_path, place, now_s, seen);
    report.approach = estimate_approach(track, danger_km);
    if (const std::optional<double> safe = safe_at(track, danger_km, all_clear_after_s, now_s)) {
        report.safe_at = std::lround(*safe);
    }
}

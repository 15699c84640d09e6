#include "report/report.h"

#include "storm/storm_client.h"
#include "storm/storm_requests.h"
#include "weather/weather_fetch.h"

#include "nimbrovator_config.h"

#include <iostream>

namespace {

const unsigned forecast_days = 2;

void add_error(run_report& report, const char* source, const std::string& message) {
    std::cerr << message << '\n' << std::flush;
    report.errors.push_back({source, message});
}

std::string storm_failure(const char* what) {
    return std::string("Nie udało się pobrać ") + what + " z serwera " + storm_host() + ".";
}

// The parsed reply of one weather request; null (with an error entry) when it is not usable.
Json::Value weather_document(run_report& report, const char* source, const std::string& path) {
    const weather_reply reply = fetch_weather(path);
    Json::Value document;
    const std::string host = NIMBROVATOR_WEATHER_HOST;
    if (!reply.transferred) {
        add_error(report, source, "Brak połączenia z serwerem " + host + ".");
    } else if (!parse_weather_document(reply.body, document)) {
        add_error(report, source, "Odebrałem nieprawidłowe dane z serwera " + host + ".");
    } else if (is_unknown_town_reply(document) || reply.http_status == 404) {
        add_error(report, source, "Na serwerze " + host + " brak danych o tej miejscowości.");
        document = Json::Value();
    } else if (reply.http_status != 200) {
        add_error(report, source,
                  "Serwer " + host + " odpowiedział kodem HTTP " +
                      std::to_string(reply.http_status) + ".");
        document = Json::Value();
    }
    return document;
}

void gather_weather(run_report& report, const std::string& town) {
    if (report.weather_included) {
        const Json::Value document =
            weather_document(report, "weather", current_weather_path(town));
        if (!document.isNull()) {
            report.weather = extract_current_weather(document);
        }
    }
    if (report.forecast_included) {
        const Json::Value document =
            weather_document(report, "forecast", daily_forecast_path(town, forecast_days));
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
    report.warnings = extract_warnings(request_warnings(town.y, town.x).text);
    if (!report.warnings) {
        add_error(report, "warnings", storm_failure("ostrzeżeń pogodowych"));
    }
    report.lightning = extract_lightning(request_lightning(town.y, town.x, report.radius_km).text);
    if (!report.lightning) {
        add_error(report, "lightning", storm_failure("danych o wyładowaniach atmosferycznych"));
    }
}

} // namespace

run_report gather_report(const report_request& request) {
    run_report report;
    report.radius_km = request.radius_km;
    report.weather_included = request.weather;
    report.forecast_included = request.forecast;
    const town_answer answer = look_up_town(request.town);
    report.town_outcome = answer.status;
    report.town = answer.town;
    if (answer.status == town_status::unknown) {
        add_error(report, "town",
                  "Na serwerze " + storm_host() + " brak danych o tej miejscowości.");
    } else if (answer.status == town_status::failed) {
        add_error(report, "town", storm_failure("współrzędnych miejscowości"));
    }
    gather_weather(report, request.town);
    if (answer.status == town_status::found) {
        gather_storm(report);
    }
    report.made_at = std::time(nullptr);
    return report;
}

int report_status(const run_report& report) {
    return report.lightning ? 0 : 1;
}

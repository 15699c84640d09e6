#include "output/json_form.h"

#include "output/ring.h"
#include "report/lightning_check.h"
#include "state/run_state.h"
#include "text/json_text.h"
#include "text/text.h"
#include "weather/current_weather.h"

#include <cmath>
#include <memory>
#include <sstream>

namespace {

// Texts from the services, fit for a JSON string: no control characters.
Json::Value text_value(const std::string& text) {
    return Json::Value(strip_control_chars(text));
}

template <typename T> Json::Value optional_value(const std::optional<T>& value) {
    return value ? Json::Value(*value) : Json::Value();
}

Json::Value optional_text(const std::optional<std::string>& value) {
    return value ? text_value(*value) : Json::Value();
}

Json::Value optional_time(const std::optional<std::time_t>& time) {
    return time ? Json::Value(iso_local_time(*time)) : Json::Value();
}

Json::Value town_value(const run_report& report) {
    const town_record& town = report.town;
    Json::Value value(Json::objectValue);
    value["name"] = text_value(town.name);
    value["query"] = text_value(town.typed);
    value["known"] = report.town_outcome == town_status::found;
    value["latitude"] = optional_value(town.latitude);
    value["longitude"] = optional_value(town.longitude);
    value["from_cache"] = town.from_cache;
    return value;
}

Json::Value lightning_value(const lightning_report& lightning) {
    Json::Value value(Json::objectValue);
    value["strikes"] = lightning.count;
    value["period_min"] = optional_value(lightning.period_min);
    const bool seen = lightning.count > 0;
    value["nearest_km"] = seen ? optional_value(lightning.distance_km) : Json::Value();
    const std::string name = compass_point_name(lightning.direction);
    value["direction"] = seen && !name.empty() ? text_value(lightning.direction) : Json::Value();
    value["direction_name"] = seen && !name.empty() ? Json::Value(name) : Json::Value();
    return value;
}

Json::Value warnings_value(const warnings_report& warnings) {
    Json::Value hazards(Json::arrayValue);
    for (std::size_t i = 0; i < hazard_count; ++i) {
        Json::Value hazard(Json::objectValue);
        hazard["hazard"] = warning_hazards[i].id;
        const std::optional<int> level = warning_level(warnings.levels[i]);
        hazard["level"] = optional_value(level);
        const std::string line = hazard_line(i, warnings.levels[i]);
        hazard["description"] =
            line.empty() ? Json::Value() : Json::Value(line.substr(0, line.size() - 1));
        hazards.append(hazard);
    }
    Json::Value value(Json::objectValue);
    value["hazards"] = hazards;
    return value;
}

Json::Value weather_value(const current_weather& weather) {
    Json::Value value(Json::objectValue);
    value["time"] = optional_time(weather.time);
    value["temperature_c"] = optional_value(weather.temperature_c);
    value["humidity_pct"] = optional_value(weather.humidity_pct);
    value["pressure_hpa"] = optional_value(weather.pressure_hpa);
    value["wind_kmh"] = optional_value(weather.wind_kmh);
    value["gust_kmh"] = optional_value(weather.gust_kmh);
    value["wind_deg"] = optional_value(weather.bearing_deg);
    const std::string direction =
        weather.bearing_deg ? wind_direction_name(*weather.bearing_deg) : std::string();
    value["wind_direction"] = direction.empty() ? Json::Value() : Json::Value(direction);
    value["rain_1h_mm"] = optional_value(weather.rain_1h_mm);
    value["rain_3h_mm"] = optional_value(weather.rain_3h_mm);
    value["clouds_pct"] = optional_value(weather.clouds_pct);
    value["description"] = optional_text(weather.description);
    return value;
}

Json::Value forecast_value(const std::vector<forecast_entry>& days) {
    Json::Value list(Json::arrayValue);
    for (const forecast_entry& day : days) {
        Json::Value item(Json::objectValue);
        item["time"] = optional_time(day.time);
        item["min_c"] = optional_value(day.min_c);
        item["max_c"] = optional_value(day.max_c);
        item["humidity_pct"] = optional_value(day.humidity_pct);
        item["pressure_hpa"] = optional_value(day.pressure_hpa);
        item["wind_kmh"] = optional_value(day.wind_kmh);
        item["rain_mm"] = optional_value(day.rain_mm);
        item["description"] = optional_text(day.description);
        list.append(item);
    }
    Json::Value value(Json::objectValue);
    value["days"] = list;
    return value;
}

// A part of the answer with the age of the reply behind it; null when it could not be given.
template <typename T, typename F>
Json::Value part_value(const std::optional<T>& part, const freshness& age, F&& make) {
    if (!part) {
        return Json::Value();
    }
    Json::Value value = make(*part);
    value["age_s"] = static_cast<Json::Int64>(age.age_s);
    value["stale"] = age.stale;
    return value;
}

} // namespace

Json::Value approach_value(const std::optional<approach_estimate>& estimate) {
    if (!estimate) {
        return Json::Value();
    }
    Json::Value value(Json::objectValue);
    // To a tenth, and never -0.0.
    const auto tenths = [](double number) { return std::round(number * 10) / 10 + 0.0; };
    value["radial_kmh"] = tenths(estimate->radial_kmh);
    value["eta_min"] = estimate->eta_min ? Json::Value(tenths(*estimate->eta_min)) : Json::Value();
    value["closest_km"] = tenths(estimate->closest_km);
    value["moving_to"] =
        estimate->moving_to.empty() ? Json::Value() : Json::Value(estimate->moving_to);
    value["points"] = estimate->points;
    return value;
}

std::string iso_local_time(std::time_t time) {
    std::string stamp = format_local_time(time, "%Y-%m-%dT%H:%M:%S%z");
    if (stamp.size() < 5) {
        return stamp;
    }
    // strftime writes the offset as +hhmm; ISO 8601 extended form wants +hh:mm.
    return stamp.substr(0, stamp.size() - 2) + ":" + stamp.substr(stamp.size() - 2);
}

Json::Value safe_at_value(const run_report& report) {
    return report.safe_at ? Json::Value(iso_local_time(static_cast<std::time_t>(*report.safe_at)))
                          : Json::Value();
}

Json::Value report_document(const run_report& report) {
    Json::Value document(Json::objectValue);
    document["schema"] = 1;
    document["generated_at"] = iso_local_time(report.made_at);
    document["town"] = town_value(report);
    if (!report.place.empty()) {
        document["place"] = text_value(report.place);
    }
    document["radius_km"] = report.radius_km;
    document["lightning"] = part_value(report.lightning, report.lightning_age, lightning_value);
    document["warnings"] = part_value(report.warnings, report.warnings_age, warnings_value);
    if (report.weather_included) {
        document["current_weather"] = part_value(report.weather, report.weather_age, weather_value);
    }
    if (report.forecast_included) {
        document["forecast"] = part_value(report.forecast, report.forecast_age, forecast_value);
    }
    Json::Value errors(Json::arrayValue);
    for (const report_error& error : report.errors) {
        Json::Value entry(Json::objectValue);
        entry["source"] = error.source;
        entry["message"] = text_value(error.message);
        errors.append(entry);
    }
    document["errors"] = errors;
    if (report.approach_included) {
        document["approach"] = approach_value(shown_approach(report));
        document["safe_at"] = safe_at_value(report);
    }
    return document;
}

std::string document_text(const Json::Value& document) {
    return compact_json(document);
}

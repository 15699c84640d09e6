// The daily forecast report for the town the user gave.
#pragma once

#include <json/json.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

// One day of a forecast reply, in the units of the report.
struct forecast_entry {
    std::optional<std::time_t> time;
    std::optional<double> min_c;
    std::optional<double> max_c;
    std::optional<int> humidity_pct;
    std::optional<int> pressure_hpa;
    std::optional<double> wind_kmh;
    std::optional<double> rain_mm;
    std::optional<std::string> description; // the day's own; the report carries the last one on
};

// The days of a forecast reply; nothing when the reply has no day list.
std::optional<std::vector<forecast_entry>> extract_daily_forecast(const Json::Value& document);
// The report after the service's messages, for the days (or their absence).
std::string daily_forecast_text(const std::optional<std::vector<forecast_entry>>& days);

// Fetches a forecast of the given number of days for g_typed_town and prints the report.
void show_daily_forecast(int days);

// The report after the service's messages: the placeholder line when the reply has no day
// list, otherwise the column header and one line per day.
std::string format_daily_forecast(const Json::Value& document);

// Local date as "2017.05.06".
std::string format_forecast_date(std::time_t time);

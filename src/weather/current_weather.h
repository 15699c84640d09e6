// The current weather report for the town the user gave.
#pragma once

#include <json/json.h>

#include <ctime>
#include <optional>
#include <string>

// The usable part of a current-weather reply, in the units of the report.
struct current_weather {
    bool service_message = false; // the reply carries "message": missing items are left out
    std::optional<std::time_t> time;
    std::optional<double> temperature_c;
    std::optional<int> humidity_pct;
    std::optional<int> pressure_hpa;
    std::optional<double> wind_kmh;
    std::optional<double> gust_kmh;
    std::optional<double> bearing_deg;
    std::optional<double> rain_1h_mm;
    std::optional<double> rain_3h_mm;
    std::optional<int> clouds_pct;
    std::optional<std::string> description;
};

current_weather extract_current_weather(const Json::Value& document);
// The report after the service's messages, for a record.
std::string current_weather_text(const current_weather& weather);

// Fetches the current weather for g_typed_town and prints the report.
void show_current_weather();

// The report after the service's messages: every item of a current-weather reply, with the
// "B/D" placeholders for missing values when the reply carries no "message".
std::string format_current_weather(const Json::Value& document);

// Local time formatted by strftime with the pattern, at most 29 bytes; empty when it does
// not fit.
std::string format_local_time(std::time_t time, const char* pattern);
// Local time as "2017.05.06 godz. 14:30".
std::string format_measurement_time(std::time_t time);

// The Polish name of the compass sector of a bearing in degrees, rounded to the nearest whole
// degree; empty outside every sector.
std::string wind_direction_name(double bearing);

// Wind speeds arrive in metres per second and are shown in km/h.
constexpr double metres_per_second_to_kmh = 3.6;

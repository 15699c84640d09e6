// The current weather report for the town the user gave.
#pragma once

#include <json/json.h>

#include <ctime>
#include <string>

// Fetches the current weather for town_name and prints the report.
void show_current_weather();

// The report after the service's messages: every item of a current-weather reply, with the
// "B/D" placeholders for missing values when the reply carries no "message".
std::string format_current_weather(const Json::Value& document);

// Local time formatted by strftime with the pattern, at most 29 bytes; empty when it does
// not fit.
std::string format_local_time(std::time_t time, const char* pattern);
// Local time as "2017.05.06 godz. 14:30".
std::string format_measurement_time(std::time_t time);

// The Polish name of the compass sector of a bearing in degrees; empty outside every sector.
std::string wind_direction_name(double bearing);

// Wind speeds arrive in metres per second and are shown in km/h.
constexpr double metres_per_second_to_kmh = 3.6;

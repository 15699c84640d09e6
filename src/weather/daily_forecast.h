// The daily forecast report for the town the user gave.
#pragma once

#include <json/json.h>

#include <ctime>
#include <string>

// Fetches a forecast of the given number of days for town_name and prints the report.
void show_daily_forecast(int days);

// The report after the service's messages: the placeholder line when the reply has no day
// list, otherwise the column header and one line per day.
std::string format_daily_forecast(const Json::Value& document);

// Local date as "2017.05.06".
std::string format_forecast_date(std::time_t time);

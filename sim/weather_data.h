// The weather service's replies for a town: current weather and a daily forecast, shaped as the
// service sends them, with plausible values that stay the same for a town within a 10-minute
// window (the forecast stays the same for a whole day).
#pragma once

#include "towns.h"

#include <json/json.h>

#include <ctime>
#include <string>

// Units of the request: "metric" (°C, m/s), "imperial" (°F, mph), anything else the
// service's standard units (K, m/s).
Json::Value current_weather_reply(const sim_town& town, std::time_t now, const std::string& units);
// `days` is kept within 1 to 16, as the service does.
Json::Value daily_forecast_reply(const sim_town& town, int days, std::time_t now,
                                 const std::string& units);

// Compact JSON text with UTF-8 kept as it is and no long float tails (18.3, not
// 18.300000000000001).
std::string weather_json_text(const Json::Value& document);

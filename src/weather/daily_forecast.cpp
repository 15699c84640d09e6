#include "weather/daily_forecast.h"

#include "state/run_state.h"
#include "text/text.h"
#include "weather/current_weather.h"
#include "weather/reply_fields.h"
#include "weather/weather_fetch.h"

#include <iostream>

namespace {

forecast_entry extract_day(const Json::Value& day) {
    const Json::Value& temp = member(day, "temp");
    forecast_entry result;
    if (const std::optional<int> time = int_member(day, "dt")) {
        result.time = *time;
    }
    result.min_c = reading_member(temp, "min", temperature_c_range);
    result.max_c = reading_member(temp, "max", temperature_c_range);
    result.humidity_pct = whole_reading_member(day, "humidity", percent_range);
    result.pressure_hpa = whole_reading_member(day, "pressure", pressure_hpa_range);
    if (const std::optional<double> speed = reading_member(day, "speed", wind_ms_range)) {
        result.wind_kmh = *speed * metres_per_second_to_kmh;
    }
    result.rain_mm = reading_member(day, "rain", rain_mm_range);
    result.description = weather_description(member(day, "weather"));
    return result;
}

// A figure of the day with its unit, "B/D" when the reply gave no usable one (none, or one
// outside what the weather can be).
std::string figure_or_none(const std::optional<double>& value, const char* unit) {
    return value ? fixed(*value, 1) + unit : std::string("B/D");
}

std::string whole_or_none(const std::optional<int>& value, const char* unit) {
    return value ? std::to_string(*value) + unit : std::string("B/D");
}

// One day's line; the description carries over from the previous day when this day has none.
std::string format_day(const forecast_entry& day, std::string& description) {
    const double wind = day.wind_kmh.value_or(0.0);
    const double rain = day.rain_mm.value_or(0.0);
    if (day.description) {
        description = *day.description;
    }
    std::string line = format_forecast_date(day.time.value_or(0)) + " ";
    line += figure_or_none(day.min_c, "") + "-" + figure_or_none(day.max_c, "°C") + ", ";
    line += whole_or_none(day.humidity_pct, "%") + ", ";
    line += whole_or_none(day.pressure_hpa, " hPa") + ", ";
    if (wind != 0.0) {
        line += fixed(wind, 1) + " km/h, ";
    }
    line += rain != 0.0 ? fixed(rain, 1) + " mm/3h, " : std::string("0 mm/3h, ");
    return line + description + "\n";
}

} // namespace

std::string format_forecast_date(std::time_t time) {
    return format_local_time(time, "%Y.%m.%d");
}

std::optional<std::vector<forecast_entry>> extract_daily_forecast(const Json::Value& document) {
    const Json::Value& list = member(document, "list");
    if (!list.isArray()) {
        return std::nullopt;
    }
    std::vector<forecast_entry> days;
    for (const Json::Value& day : list) {
        // A list element that is not a day object has nothing to show.
        if (day.isObject()) {
            days.push_back(extract_day(day));
        }
    }
    return days;
}

std::string daily_forecast_text(const std::optional<std::vector<forecast_entry>>& days) {
    if (!days) {
        return "Czas prognozy: B/D\n";
    }
    std::string text = "(data, temperatura, wilgotność, ciśnienie, wiatr, deszcz, pogoda)\n";
    std::string description;
    for (const forecast_entry& day : *days) {
        text += format_day(day, description);
    }
    return text;
}

std::string format_daily_forecast(const Json::Value& document) {
    return daily_forecast_text(extract_daily_forecast(document));
}

void show_daily_forecast(int days) {
    std::cout << "\nPobieram prognozę pogody z serwera " << weather_host() << "...\n" << std::flush;
    const unsigned requested = days < 0 ? 0u : static_cast<unsigned>(days);
    const Json::Value document = parse_weather_json(fetch_daily_forecast(g_typed_town, requested));
    check_service_error(document);
    print_lines(format_daily_forecast(document));
}

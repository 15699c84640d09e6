#include "weather/daily_forecast.h"

#include "app/run_state.h"
#include "nimbrovator_config.h"
#include "text/text.h"
#include "weather/current_weather.h"
#include "weather/reply_fields.h"
#include "weather/weather_fetch.h"

#include <iostream>

namespace {

// One day's line; the description carries over from the previous day when this day has none.
std::string format_day(const Json::Value& day, std::string& description) {
    const Json::Value& temp = member(day, "temp");
    const double speed = number_member(day, "speed").value_or(0.0);
    const double rain = number_member(day, "rain").value_or(0.0);
    if (const auto text = weather_description(member(day, "weather"))) {
        description = *text;
    }
    std::string line = format_forecast_date(int_member(day, "dt").value_or(0)) + " ";
    line += fixed(number_member(temp, "min").value_or(0.0), 1) + "-" +
            fixed(number_member(temp, "max").value_or(0.0), 1) + "°C, ";
    line += std::to_string(int_member(day, "humidity").value_or(0)) + "%, ";
    line += std::to_string(int_member(day, "pressure").value_or(0)) + " hPa, ";
    if (speed != 0.0) {
        line += fixed(speed * metres_per_second_to_kmh, 1) + " km/h, ";
    }
    line += rain != 0.0 ? fixed(rain, 1) + " mm/3h, " : std::string("0 mm/3h, ");
    return line + description + "\n";
}

} // namespace

std::string format_forecast_date(std::time_t time) {
    return format_local_time(time, "%Y.%m.%d");
}

std::string format_daily_forecast(const Json::Value& document) {
    const Json::Value& list = member(document, "list");
    if (!list.isArray()) {
        return "Czas prognozy: B/D\n";
    }
    std::string text = "(data, temperatura, wilgotność, ciśnienie, wiatr, deszcz, pogoda)\n";
    std::string description;
    for (const Json::Value& day : list) {
        // A list element that is not a day object has nothing to show.
        if (day.isObject()) {
            text += format_day(day, description);
        }
    }
    return text;
}

void show_daily_forecast(int days) {
    std::cout << "\nPobieram prognozę pogody z serwera " << NIMBROVATOR_WEATHER_HOST << "...\n"
              << std::flush;
    const unsigned requested = days < 0 ? 0u : static_cast<unsigned>(days);
    const Json::Value document = parse_weather_json(fetch_daily_forecast(town_name, requested));
    check_service_error(document);
    print_lines(format_daily_forecast(document));
}

#include "weather/current_weather.h"

#include "state/run_state.h"
#include "text/text.h"
#include "weather/reply_fields.h"
#include "weather/weather_fetch.h"

#include <cmath>
#include <iostream>
#include <optional>

namespace {

struct direction_sector {
    double from;
    double to;
    const char* name;
};

const direction_sector direction_sectors[] = {
    {349, 360, "północny"},
    {0, 11, "północny"},
    {12, 33, "północny północno-wschodni"},
    {34, 56, "północno-wschodni"},
    {57, 78, "wschodni północno-wschodni"},
    {79, 101, "wschodni"},
    {102, 123, "wschodni południowo-wschodni"},
    {124, 146, "południowo-wschodni"},
    {147, 168, "południowy południowo-wschodni"},
    {169, 191, "południowy"},
    {192, 213, "południowy południowo-zachodni"},
    {214, 236, "południowo-zachodni"},
    {237, 258, "zachodni południowo-zachodni"},
    {259, 281, "zachodni"},
    {282, 303, "zachodni północno-zachodni"},
    {304, 326, "północno-zachodni"},
    {327, 348, "północny północno-zachodni"},
};

// How an item with a missing value is shown: its placeholder when the reply has no "message",
// nothing at all when it has one.
struct item_text {
    bool placeholders;
    std::string text;

    void add(const std::optional<std::string>& value, const std::string& label,
             const std::string& unit, const std::string& placeholder) {
        if (value) {
            text += label + *value + unit;
        } else if (placeholders) {
            text += label + placeholder;
        }
    }
};

std::optional<std::string> with_decimals(const std::optional<double>& value, int decimals) {
    if (!value) {
        return std::nullopt;
    }
    return fixed(*value, decimals);
}

std::optional<double> in_kmh(const std::optional<double>& metres_per_second) {
    if (!metres_per_second) {
        return std::nullopt;
    }
    return *metres_per_second * metres_per_second_to_kmh;
}

std::optional<std::string> whole(const std::optional<int>& value) {
    if (!value) {
        return std::nullopt;
    }
    return std::to_string(*value);
}

} // namespace

std::string format_local_time(std::time_t time, const char* pattern) {
    char buffer[30] = {};
    const std::tm* local = std::localtime(&time);
    if (local == nullptr || std::strftime(buffer, sizeof buffer, pattern, local) == 0) {
        return std::string();
    }
    return buffer;
}

std::string format_measurement_time(std::time_t time) {
    return format_local_time(time, "%Y.%m.%d godz. %H:%M");
}

std::string wind_direction_name(double bearing) {
    // The sectors' bounds are whole degrees: a bearing between two of them goes to the nearer.
    bearing = std::round(bearing);
    for (const direction_sector& sector : direction_sectors) {
        if (bearing >= sector.from && bearing <= sector.to) {
            return sector.name;
        }
    }
    return std::string();
}

current_weather extract_current_weather(const Json::Value& document) {
    const Json::Value& readings = member(document, "main");
    const Json::Value& wind = member(document, "wind");
    const Json::Value& rain = member(document, "rain");
    current_weather weather;
    weather.service_message = !member(document, "message").isNull();
    if (const std::optional<int> time = int_member(document, "dt")) {
        weather.time = *time;
    }
    weather.temperature_c = reading_member(readings, "temp", temperature_c_range);
    weather.humidity_pct = whole_reading_member(readings, "humidity", percent_range);
    weather.pressure_hpa = whole_reading_member(readings, "pressure", pressure_hpa_range);
    weather.wind_kmh = in_kmh(reading_member(wind, "speed", wind_ms_range));
    weather.gust_kmh = in_kmh(reading_member(wind, "gust", wind_ms_range));
    weather.bearing_deg = reading_member(wind, "deg", bearing_deg_range);
    weather.rain_1h_mm = reading_member(rain, "1h", rain_mm_range);
    weather.rain_3h_mm = reading_member(rain, "3h", rain_mm_range);
    weather.clouds_pct = whole_reading_member(member(document, "clouds"), "all", percent_range);
    weather.description = weather_description(member(document, "weather"));
    return weather;
}

std::string current_weather_text(const current_weather& weather) {
    item_text out{!weather.service_message, std::string()};
    out.add(weather.time ? std::optional<std::string>(format_measurement_time(*weather.time))
                         : std::nullopt,
            "\nCzas pomiaru: ", "\n", "B/D\n");
    out.add(with_decimals(weather.temperature_c, 1), "Temperatura ", "°C, ", "B/D, ");
    out.add(whole(weather.humidity_pct), "wilgotność ", "%, ", "B/D, ");
    out.add(whole(weather.pressure_hpa), "ciśnienie atm. ", " hPa, ", "B/D, ");
    out.add(with_decimals(weather.wind_kmh, 2), "wiatr ", " km/h, \n", "B/D\n");
    std::string& text = out.text;
    if (weather.gust_kmh) {
        text += "w porywach do " + fixed(*weather.gust_kmh, 2) + " km/h, ";
    }
    out.add(weather.bearing_deg
                ? std::optional<std::string>(wind_direction_name(*weather.bearing_deg))
                : std::nullopt,
            "", ", ", "B/D, ");
    if (weather.rain_1h_mm) {
        text += "deszcz " + fixed(*weather.rain_1h_mm, 2) + " mm/1h,\n";
    }
    if (weather.rain_3h_mm) {
        text += "deszcz " + fixed(*weather.rain_3h_mm, 2) + " mm/3h,\n";
    }
    out.add(whole(weather.clouds_pct), "zachmurzenie ", " %, ", "B/D, ");
    if (weather.description) {
        text += *weather.description;
    }
    text += ".\n";
    return text;
}

std::string format_current_weather(const Json::Value& document) {
    return current_weather_text(extract_current_weather(document));
}

void show_current_weather() {
    std::cout << "Pobieram aktualną pogodę z serwera " << weather_host() << "...\n" << std::flush;
    const Json::Value document = parse_weather_json(fetch_current_weather(g_typed_town));
    check_service_error(document);
    print_lines(format_current_weather(document));
}

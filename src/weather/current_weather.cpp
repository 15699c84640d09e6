#include "weather/current_weather.h"

#include "app/run_state.h"
#include "nimbrovator_config.h"
#include "text/text.h"
#include "weather/reply_fields.h"
#include "weather/weather_fetch.h"

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

std::optional<std::string> with_decimals(const std::optional<double>& value, int decimals,
                                         double factor = 1.0) {
    if (!value) {
        return std::nullopt;
    }
    return fixed(*value * factor, decimals);
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
    for (const direction_sector& sector : direction_sectors) {
        if (bearing >= sector.from && bearing <= sector.to) {
            return sector.name;
        }
    }
    return std::string();
}

std::string format_current_weather(const Json::Value& document) {
    const Json::Value& readings = member(document, "main");
    const Json::Value& wind = member(document, "wind");
    const Json::Value& rain = member(document, "rain");
    const std::optional<int> time = int_member(document, "dt");
    const std::optional<double> bearing = number_member(wind, "deg");
    const std::optional<std::string> description = weather_description(member(document, "weather"));

    item_text out{member(document, "message").isNull(), std::string()};
    out.add(time ? std::optional<std::string>(format_measurement_time(*time)) : std::nullopt,
            "\nCzas pomiaru: ", "\n", "B/D\n");
    out.add(with_decimals(number_member(readings, "temp"), 1), "Temperatura ", "°C, ", "B/D, ");
    out.add(whole(int_member(readings, "humidity")), "wilgotność ", "%, ", "B/D, ");
    out.add(whole(int_member(readings, "pressure")), "ciśnienie atm. ", " hPa, ", "B/D, ");
    out.add(with_decimals(number_member(wind, "speed"), 2, metres_per_second_to_kmh), "wiatr ",
            " km/h, \n", "B/D\n");
    std::string& text = out.text;
    if (const auto gust = number_member(wind, "gust")) {
        text += "w porywach do " + fixed(*gust * metres_per_second_to_kmh, 2) + " km/h, ";
    }
    out.add(bearing ? std::optional<std::string>(wind_direction_name(*bearing)) : std::nullopt, "",
            ", ", "B/D, ");
    if (const auto last_hour = number_member(rain, "1h")) {
        text += "deszcz " + fixed(*last_hour, 2) + " mm/1h,\n";
    }
    if (const auto last_three_hours = number_member(rain, "3h")) {
        text += "deszcz " + fixed(*last_three_hours, 2) + " mm/3h,\n";
    }
    out.add(whole(int_member(member(document, "clouds"), "all")), "zachmurzenie ", " %, ", "B/D, ");
    if (description) {
        text += *description;
    }
    text += ".\n";
    return text;
}

void show_current_weather() {
    std::cout << "Pobieram aktualną pogodę z serwera " << NIMBROVATOR_WEATHER_HOST << "...\n"
              << std::flush;
    const Json::Value document = parse_weather_json(fetch_current_weather(town_name));
    check_service_error(document);
    print_lines(format_current_weather(document));
}

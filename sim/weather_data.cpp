#include "weather_data.h"

#include "generators.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr long long day_seconds = 86400;

// Mean daily temperature in Poland by month, °C.
constexpr double mean_temperature[12] = {-1.5, -0.5, 3.0,  8.5, 13.5, 16.5,
                                         18.5, 18.0, 13.5, 8.5, 3.5,  0.0};

struct condition {
    int id;
    const char* main;
    const char* description;
    const char* icon;
    int clouds_low;
    int clouds_high;
    double rain_low; // mm in 3 h; 0: dry
    double rain_high;
};

const condition conditions[] = {
    {800, "Clear", "bezchmurnie", "01", 0, 5, 0, 0},
    {801, "Clouds", "pochmurnie z przejaśnieniami", "02", 11, 25, 0, 0},
    {802, "Clouds", "rozproszone chmury", "03", 26, 50, 0, 0},
    {803, "Clouds", "zachmurzenie umiarkowane", "04", 51, 84, 0, 0},
    {804, "Clouds", "pochmurno", "04", 85, 100, 0, 0},
    {500, "Rain", "lekkie opady deszczu", "10", 60, 100, 0.1, 2.5},
    {501, "Rain", "umiarkowane opady deszczu", "10", 75, 100, 2.5, 8.0},
    {211, "Thunderstorm", "burza z piorunami", "11", 70, 100, 2.0, 15.0},
    {600, "Snow", "lekkie opady śniegu", "13", 70, 100, 0.1, 2.0},
    {701, "Mist", "zamglenia", "50", 20, 90, 0, 0},
};
enum { clear, few, scattered, broken, overcast, light_rain, rain, thunderstorm, snow, mist };

double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

// A condition plausible for the temperature.
const condition& pick_condition(sim_random& random, double temperature) {
    const double u = next_unit(random);
    int index;
    if (u < 0.18) {
        index = clear;
    } else if (u < 0.33) {
        index = few;
    } else if (u < 0.48) {
        index = scattered;
    } else if (u < 0.62) {
        index = broken;
    } else if (u < 0.76) {
        index = overcast;
    } else if (u < 0.87) {
        index = light_rain;
    } else if (u < 0.93) {
        index = rain;
    } else if (u < 0.97) {
        index = temperature > 14 ? thunderstorm : light_rain;
    } else {
        index = mist;
    }
    if (temperature < 1 && (index == light_rain || index == rain)) {
        index = snow;
    }
    return conditions[index];
}

long long day_number(std::time_t now) {
    return observation_window(now) / (day_seconds / 600);
}

// The town's departure from the month's mean on a day: shared by the current weather and the
// forecast of that day.
double day_anomaly(const sim_town& town, long long day) {
    sim_random random = random_for(text_hash(town.name), day, "anomalia");
    return next_between(random, -5.0, 5.0);
}

double day_mean(const sim_town& town, long long day, int month) {
    // Colder to the north and, in winter, to the east.
    const double winter = month == 12 || month <= 2 ? 1.0 : 0.0;
    return mean_temperature[month - 1] - (town.latitude - 51.5) * 0.6 -
           winter * (town.longitude - 19.0) * 0.3 + day_anomaly(town, day);
}

// Sunrise and sunset (Unix time) of the day that holds `noon_utc` (12:00 UTC).
void sun_times(const sim_town& town, std::time_t noon_utc, Json::Int64& sunrise,
               Json::Int64& sunset) {
    std::tm parts{};
    gmtime_r(&noon_utc, &parts);
    const double declination = -23.44 * std::cos(2 * pi / 365 * (parts.tm_yday + 10)) * pi / 180;
    const double cos_hour =
        std::clamp(-std::tan(town.latitude * pi / 180) * std::tan(declination), -1.0, 1.0);
    const double half_day = std::acos(cos_hour) * 12 / pi * 3600;
    const double solar_noon = static_cast<double>(noon_utc) - town.longitude / 15 * 3600;
    sunrise = static_cast<Json::Int64>(solar_noon - half_day);
    sunset = static_cast<Json::Int64>(solar_noon + half_day);
}

// Central European Time, or summer time from April to October.
int utc_offset(int month) {
    return month >= 4 && month <= 10 ? 7200 : 3600;
}

double in_units(double celsius, const std::string& units) {
    if (units == "metric") {
        return rounded(celsius, 2);
    }
    return rounded(units == "imperial" ? celsius * 9 / 5 + 32 : celsius + 273.15, 2);
}

double speed_in_units(double metres_per_second, const std::string& units) {
    return rounded(units == "imperial" ? metres_per_second * 2.23694 : metres_per_second, 2);
}

Json::Value condition_list(const condition& c, bool day) {
    Json::Value entry;
    entry["id"] = c.id;
    entry["main"] = c.main;
    entry["description"] = c.description;
    entry["icon"] = std::string(c.icon) + (day ? "d" : "n");
    Json::Value list(Json::arrayValue);
    list.append(entry);
    return list;
}

Json::Value coordinates(const sim_town& town) {
    Json::Value coord;
    coord["lon"] = town.longitude;
    coord["lat"] = town.latitude;
    return coord;
}

int town_id(const sim_town& town) {
    return 3080000 + static_cast<int>(&town - sim_town_table);
}

} // namespace

Json::Value current_weather_reply(const sim_town& town, std::time_t now, const std::string& units) {
    const long long window = observation_window(now);
    const std::time_t measured = static_cast<std::time_t>(window * 600);
    const int month = month_of(now);
    const long long day = day_number(now);
    // The sky changes every three hours, the readings every window.
    sim_random sky = random_for(text_hash(town.name), window / 18, "niebo");
    sim_random noise = random_for(text_hash(town.name), window, "pomiar");

    std::tm parts{};
    gmtime_r(&measured, &parts);
    const double local_hour = parts.tm_hour + parts.tm_min / 60.0 + utc_offset(month) / 3600.0;
    const double temperature = day_mean(town, day, month) +
                               4.0 * std::cos((local_hour - 15) / 24 * 2 * pi) +
                               next_between(noise, -0.6, 0.6);
    const condition& c = pick_condition(sky, temperature);
    const double wind = next_between(sky, 0.5, 9.0) + next_between(noise, -0.4, 0.4);

    Json::Int64 sunrise = 0;
    Json::Int64 sunset = 0;
    sun_times(town, static_cast<std::time_t>(day * day_seconds + 43200), sunrise, sunset);

    Json::Value reply;
    reply["coord"] = coordinates(town);
    reply["weather"] = condition_list(c, measured >= sunrise && measured < sunset);
    reply["base"] = "stations";
    Json::Value& main = reply["main"];
    main["temp"] = in_units(temperature, units);
    main["feels_like"] = in_units(temperature - std::max(0.0, wind - 1.5) * 0.7, units);
    main["temp_min"] = in_units(temperature - next_between(noise, 0.2, 1.5), units);
    main["temp_max"] = in_units(temperature + next_between(noise, 0.2, 1.5), units);
    main["pressure"] = next_int(sky, 990, 1035);
    main["humidity"] =
        c.rain_high > 0 || c.id == 701 ? next_int(noise, 80, 100) : next_int(noise, 40, 85);
    reply["visibility"] = c.id == 701 ? next_int(noise, 800, 4000) : 10000;
    reply["wind"]["speed"] = speed_in_units(std::max(0.0, wind), units);
    reply["wind"]["deg"] = next_int(noise, 0, 359);
    reply["wind"]["gust"] =
        speed_in_units(std::max(0.0, wind) * next_between(noise, 1.3, 2.1), units);
    if (c.rain_high > 0) {
        const char* kind = c.id == 600 ? "snow" : "rain";
        reply[kind]["3h"] = rounded(next_between(sky, c.rain_low, c.rain_high), 2);
    }
    reply["clouds"]["all"] = next_int(sky, c.clouds_low, c.clouds_high);
    reply["dt"] = static_cast<Json::Int64>(measured);
    reply["sys"]["type"] = 1;
    reply["sys"]["country"] = "PL";
    reply["sys"]["sunrise"] = sunrise;
    reply["sys"]["sunset"] = sunset;
    reply["timezone"] = utc_offset(month);
    reply["id"] = town_id(town);
    reply["name"] = town.name;
    reply["cod"] = 200;
    return reply;
}

Json::Value daily_forecast_reply(const sim_town& town, int days, std::time_t now,
                                 const std::string& units) {
    days = std::clamp(days, 1, 16);
    const long long today = day_number(now);

    Json::Value reply;
    Json::Value& city = reply["city"];
    city["id"] = town_id(town);
    city["name"] = town.name;
    city["coord"] = coordinates(town);
    city["country"] = "PL";
    city["population"] = town.population;
    city["timezone"] = utc_offset(month_of(now));
    reply["cod"] = "200";
    reply["message"] = 0.0582563;
    reply["cnt"] = days;
    Json::Value& list = reply["list"] = Json::Value(Json::arrayValue);
    for (int i = 0; i < days; ++i) {
        const long long day = today + i;
        const std::time_t noon = static_cast<std::time_t>(day * day_seconds + 43200);
        const int month = month_of(noon);
        sim_random random = random_for(text_hash(town.name), day, "prognoza");
        const double mean = day_mean(town, day, month);
        const double spread = next_between(random, 2.5, 6.0);
        const condition& c = pick_condition(random, mean);

        Json::Value entry;
        entry["dt"] = static_cast<Json::Int64>(noon - 3600);
        Json::Int64 sunrise = 0;
        Json::Int64 sunset = 0;
        sun_times(town, noon, sunrise, sunset);
        entry["sunrise"] = sunrise;
        entry["sunset"] = sunset;
        Json::Value& temp = entry["temp"];
        temp["day"] = in_units(mean + spread * 0.6, units);
        temp["min"] = in_units(mean - spread, units);
        temp["max"] = in_units(mean + spread, units);
        temp["night"] = in_units(mean - spread * 0.8, units);
        temp["eve"] = in_units(mean + spread * 0.2, units);
        temp["morn"] = in_units(mean - spread * 0.6, units);
        const double wind = next_between(random, 0.8, 10.0);
        entry["feels_like"]["day"] = in_units(mean + spread * 0.6 - wind * 0.3, units);
        entry["feels_like"]["night"] = in_units(mean - spread * 0.8 - wind * 0.3, units);
        entry["pressure"] = next_int(random, 990, 1035);
        entry["humidity"] = c.rain_high > 0 ? next_int(random, 70, 98) : next_int(random, 40, 85);
        entry["weather"] = condition_list(c, true);
        entry["speed"] = speed_in_units(wind, units);
        entry["deg"] = next_int(random, 0, 359);
        entry["gust"] = speed_in_units(wind * next_between(random, 1.3, 2.2), units);
        entry["clouds"] = next_int(random, c.clouds_low, c.clouds_high);
        entry["pop"] = c.rain_high > 0 ? rounded(next_between(random, 0.4, 1.0), 2)
                                       : rounded(next_between(random, 0.0, 0.3), 2);
        if (c.rain_high > 0) {
            // A day's total, a plain number.
            entry[c.id == 600 ? "snow" : "rain"] =
                rounded(next_between(random, c.rain_low, c.rain_high) * 3, 2);
        }
        list.append(entry);
    }
    return reply;
}

std::string weather_json_text(const Json::Value& document) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 10;
    return Json::writeString(builder, document);
}

#include "weather/weather_test_support.h"

#include "nimbrovator_config.h"
#include "state/run_state.h"
#include "weather/daily_forecast.h"

namespace {

const std::string first_line =
    std::string("\nPobieram prognozę pogody z serwera ") + NIMBROVATOR_WEATHER_HOST + "...\n";
const std::string header = "(data, temperatura, wilgotność, ciśnienie, wiatr, deszcz, pogoda)\n";
const std::string no_list = "Czas prognozy: B/D\n";
const std::time_t may_6 = 1494072000; // 2017-05-06 12:00 UTC
const std::time_t may_7 = 1494158400;

Json::Value two_days() {
    Json::Value rainy = forecast_day(may_7, -3.5, -1.0, 93, 998, 5.0, "Lekkie Opady Śniegu");
    rainy["rain"] = 2.4;
    return daily_forecast({forecast_day(may_6, 12.3, 20.1, 55, 1012, 2.5, "bezchmurnie"), rainy});
}

const std::string two_day_lines =
    "2017.05.06 12.3-20.1°C, 55%, 1012 hPa, 9.0 km/h, 0 mm/3h, bezchmurnie\n"
    "2017.05.07 -3.5--1.0°C, 93%, 998 hPa, 18.0 km/h, 2.4 mm/3h, lekkie opady Śniegu\n";

TEST(DailyForecastReport, OneLinePerDay) {
    use_utc();
    EXPECT_EQ(format_daily_forecast(two_days()), header + two_day_lines);
}

TEST(DailyForecastReport, DayLineVariants) {
    use_utc();
    const struct {
        const char* name;
        void (*change)(Json::Value& list);
        std::string lines;
    } cases[] = {
        {"calm day has no wind item", [](Json::Value& list) { list[0]["speed"] = 0; },
         "2017.05.06 12.3-20.1°C, 55%, 1012 hPa, 0 mm/3h, bezchmurnie\n"
         "2017.05.07 -3.5--1.0°C, 93%, 998 hPa, 18.0 km/h, 2.4 mm/3h, lekkie opady Śniegu\n"},
        {"description carried over to a day without one",
         [](Json::Value& list) { list[1].removeMember("weather"); },
         "2017.05.06 12.3-20.1°C, 55%, 1012 hPa, 9.0 km/h, 0 mm/3h, bezchmurnie\n"
         "2017.05.07 -3.5--1.0°C, 93%, 998 hPa, 18.0 km/h, 2.4 mm/3h, bezchmurnie\n"},
        {"first day without a description",
         [](Json::Value& list) { list[0]["weather"] = Json::Value(Json::arrayValue); },
         "2017.05.06 12.3-20.1°C, 55%, 1012 hPa, 9.0 km/h, 0 mm/3h, \n"
         "2017.05.07 -3.5--1.0°C, 93%, 998 hPa, 18.0 km/h, 2.4 mm/3h, lekkie opady Śniegu\n"},
        {"members missing or of the wrong type are no data",
         [](Json::Value& list) {
             list[0] = Json::Value(Json::objectValue);
             list[1]["temp"] = "-3";
             list[1]["humidity"] = "93";
             list[1]["speed"] = Json::Value(Json::nullValue);
             list[1]["rain"] = Json::Value(Json::objectValue);
             list[1]["rain"]["3h"] = 2.4;
         },
         "1970.01.01 B/D-B/D, B/D, B/D, 0 mm/3h, \n"
         "2017.05.07 B/D-B/D, B/D, 998 hPa, 0 mm/3h, lekkie opady Śniegu\n"},
        {"readings outside physical ranges are no data",
         [](Json::Value& list) {
             list[1]["temp"]["min"] = -1.7e308;
             list[1]["temp"]["max"] = 150;
             list[1]["humidity"] = 1000;
             list[1]["pressure"] = 1e12;
             list[1]["speed"] = 1e300;
             list[1]["rain"] = -2.4;
         },
         "2017.05.06 12.3-20.1°C, 55%, 1012 hPa, 9.0 km/h, 0 mm/3h, bezchmurnie\n"
         "2017.05.07 B/D-B/D, B/D, B/D, 0 mm/3h, lekkie opady Śniegu\n"},
        {"one temperature of the two", [](Json::Value& list) { list[0]["temp"]["max"] = 1e308; },
         "2017.05.06 12.3-B/D, 55%, 1012 hPa, 9.0 km/h, 0 mm/3h, bezchmurnie\n"
         "2017.05.07 -3.5--1.0°C, 93%, 998 hPa, 18.0 km/h, 2.4 mm/3h, lekkie opady Śniegu\n"},
        {"elements that are not days are passed over",
         [](Json::Value& list) {
             Json::Value day = list[1];
             list[0] = 7;
             list[1] = "x";
             list.append(Json::Value(Json::arrayValue));
             list.append(day);
         },
         "2017.05.07 -3.5--1.0°C, 93%, 998 hPa, 18.0 km/h, 2.4 mm/3h, lekkie opady Śniegu\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value reply = two_days();
        c.change(reply["list"]);
        EXPECT_EQ(format_daily_forecast(reply), header + c.lines);
    }
}

TEST(DailyForecastReport, RepliesWithoutDays) {
    Json::Value list_object = two_days();
    list_object["list"] = list_object["list"][0];
    Json::Value list_text = two_days();
    list_text["list"] = "[]";
    const struct {
        const char* name;
        Json::Value document;
        std::string report;
    } cases[] = {
        {"nothing parsed", Json::Value(), no_list},
        {"unknown town", Json::Value(Json::objectValue), no_list},
        {"list is an object", list_object, no_list},
        {"list is a string", list_text, no_list},
        {"days at top level", two_days()["list"], no_list},
        {"empty list", daily_forecast({}), header},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(format_daily_forecast(c.document), c.report);
    }
}

TEST(ForecastDate, LocalDate) {
    use_utc();
    EXPECT_EQ(format_forecast_date(0), "1970.01.01");
    EXPECT_EQ(format_forecast_date(may_6 + 43199), "2017.05.06");
    EXPECT_EQ(format_forecast_date(may_6 + 43200), "2017.05.07");
}

using DailyForecast = fake_service_test;

TEST_F(DailyForecast, AsksForTwoDaysAndShowsThem) {
    reply(daily_forecast_endpoint, json_text(two_days()));
    g_typed_town = "Nowy Sącz";
    captured_output out;
    show_daily_forecast(2);
    EXPECT_EQ(out.str(), first_line + header + two_day_lines);
    const std::vector<std::string> expected = {"/data/2.5/forecast/"
                                               "daily?q=Nowy%20S%C4%85cz&cnt=2&mode=json&units="
                                               "metric&lang=pl&APPID=" NIMBROVATOR_WEATHER_KEY};
    EXPECT_EQ(recorded_requests(*service), expected);
}

TEST_F(DailyForecast, FailuresEndWithThePlaceholderLine) {
    const struct {
        const char* name;
        std::string body;
        std::string output;
    } cases[] = {
        {"unknown town", not_found_reply(),
         first_line +
             "\nNa serwerze " NIMBROVATOR_WEATHER_HOST " brak danych o tej miejscowości.\n" +
             no_list},
        {"malformed body", "{\"list\":[",
         first_line + "Odebrałem nieprawidłowe dane z serwera, spróbuj ponownie!\n" + no_list},
    };
    g_typed_town = "Kraków";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reply(daily_forecast_endpoint, c.body);
        captured_output out;
        show_daily_forecast(2);
        EXPECT_EQ(out.str(), c.output);
    }
}

} // namespace

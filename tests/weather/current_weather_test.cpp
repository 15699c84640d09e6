#include "weather/weather_test_support.h"

#include "nimbrovator_config.h"
#include "state/run_state.h"
#include "weather/current_weather.h"
#include "weather/reply_fields.h"

#include <clocale>

namespace {

const std::string first_line =
    std::string("Pobieram aktualną pogodę z serwera ") + NIMBROVATOR_WEATHER_HOST + "...\n";
const std::string full_report = "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
                                "Temperatura 18.3°C, wilgotność 55%, ciśnienie atm. 1012 hPa, "
                                "wiatr 12.96 km/h, \n"
                                "w porywach do 25.92 km/h, zachodni, zachmurzenie 40 %, "
                                "bezchmurnie.\n";
const std::string all_placeholders = "\nCzas pomiaru: B/D\n"
                                     "Temperatura B/D, wilgotność B/D, ciśnienie atm. B/D, "
                                     "wiatr B/D\n"
                                     "B/D, zachmurzenie B/D, .\n";

Json::Value parsed(const std::string& text) {
    Json::Value document;
    Json::Reader().parse(text, document, false);
    return document;
}

TEST(CurrentWeatherReport, FullReplyWithWindInKmh) {
    use_utc();
    EXPECT_EQ(format_current_weather(full_current_weather()), full_report);
}

TEST(CurrentWeatherReport, EachItemOnItsOwn) {
    use_utc();
    // Each case changes the full reply and names the report it expects.
    const struct {
        const char* name;
        void (*change)(Json::Value&);
        std::string report;
    } cases[] = {
        {"no wind object", [](Json::Value& r) { r.removeMember("wind"); },
         "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
         "Temperatura 18.3°C, wilgotność 55%, ciśnienie atm. 1012 hPa, wiatr B/D\n"
         "B/D, zachmurzenie 40 %, bezchmurnie.\n"},
        {"no gust: nothing in its place", [](Json::Value& r) { r["wind"].removeMember("gust"); },
         "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
         "Temperatura 18.3°C, wilgotność 55%, ciśnienie atm. 1012 hPa, wiatr 12.96 km/h, \n"
         "zachodni, zachmurzenie 40 %, bezchmurnie.\n"},
        {"bearing between two sectors: the nearer whole degree",
         [](Json::Value& r) { r["wind"]["deg"] = 236.5; },
         "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
         "Temperatura 18.3°C, wilgotność 55%, ciśnienie atm. 1012 hPa, wiatr 12.96 km/h, \n"
         "w porywach do 25.92 km/h, zachodni południowo-zachodni, zachmurzenie 40 %, "
         "bezchmurnie.\n"},
        {"rain of the last hour and three hours, full humidity and cloud cover",
         [](Json::Value& r) {
             r["rain"]["1h"] = 0.25;
             r["rain"]["3h"] = 1.5;
             r["main"]["humidity"] = 100;
             r["clouds"]["all"] = 100;
         },
         "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
         "Temperatura 18.3°C, wilgotność 100%, ciśnienie atm. 1012 hPa, wiatr 12.96 km/h, \n"
         "w porywach do 25.92 km/h, zachodni, deszcz 0.25 mm/1h,\n"
         "deszcz 1.50 mm/3h,\n"
         "zachmurzenie 100 %, bezchmurnie.\n"},
        {"negative zero, fractional integers cut toward zero, calm air",
         [](Json::Value& r) {
             r["main"]["temp"] = -0.04;
             r["main"]["pressure"] = 1012.9;
             r["main"]["humidity"] = 55.7;
             r["wind"]["speed"] = 0;
             r["wind"]["gust"] = 0.5;
             r["wind"]["deg"] = 0;
         },
         "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
         "Temperatura -0.0°C, wilgotność 55%, ciśnienie atm. 1012 hPa, wiatr 0.00 km/h, \n"
         "w porywach do 1.80 km/h, północny, zachmurzenie 40 %, bezchmurnie.\n"},
        {"description: ASCII letters lowered, Polish letters and control bytes",
         [](Json::Value& r) { r["weather"][0]["description"] = "ŚNIEG Z Deszczem\x1b[2J\x07"; },
         "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
         "Temperatura 18.3°C, wilgotność 55%, ciśnienie atm. 1012 hPa, wiatr 12.96 km/h, \n"
         "w porywach do 25.92 km/h, zachodni, zachmurzenie 40 %, Śnieg z deszczem[2j.\n"},
        {"members of the wrong type read as missing",
         [](Json::Value& r) {
             r["dt"] = "1494081000";
             r["main"] = "18.3";
             r["wind"]["speed"] = true;
             r["wind"]["gust"] = Json::Value(Json::objectValue);
             r["wind"]["deg"] = "W";
             r["rain"] = 3.0;
             r["clouds"]["all"] = 1e12;
             r["weather"] = r["weather"][0];
         },
         "\nCzas pomiaru: B/D\n"
         "Temperatura B/D, wilgotność B/D, ciśnienie atm. B/D, wiatr B/D\n"
         "B/D, zachmurzenie B/D, .\n"},
        {"readings outside physical ranges read as missing",
         [](Json::Value& r) {
             r["main"]["temp"] = 1.7e308;
             r["main"]["humidity"] = 101;
             r["main"]["pressure"] = -1012;
             r["wind"]["speed"] = -3;
             r["wind"]["gust"] = 1e300;
             r["wind"]["deg"] = 361;
             r["rain"]["1h"] = -0.5;
             r["rain"]["3h"] = 1e9;
             r["clouds"]["all"] = 400;
         },
         "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
         "Temperatura B/D, wilgotność B/D, ciśnienie atm. B/D, wiatr B/D\n"
         "B/D, zachmurzenie B/D, bezchmurnie.\n"},
        {"readings at the ends of their ranges",
         [](Json::Value& r) {
             r["main"]["temp"] = -100;
             r["main"]["humidity"] = 0;
             r["main"]["pressure"] = 1200;
             r["wind"]["speed"] = 150;
             r["wind"].removeMember("gust");
             r["wind"]["deg"] = 360;
             r["clouds"]["all"] = 0;
         },
         "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
         "Temperatura -100.0°C, wilgotność 0%, ciśnienie atm. 1200 hPa, wiatr 540.00 km/h, \n"
         "północny, zachmurzenie 0 %, bezchmurnie.\n"},
        {"weather list without a usable first element",
         [](Json::Value& r) { r["weather"][0] = "Clear"; },
         "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
         "Temperatura 18.3°C, wilgotność 55%, ciśnienie atm. 1012 hPa, wiatr 12.96 km/h, \n"
         "w porywach do 25.92 km/h, zachodni, zachmurzenie 40 %, .\n"},
        {"a message hides the placeholders but not the values",
         [](Json::Value& r) {
             r["message"] = "something";
             r.removeMember("dt");
             r.removeMember("wind");
             r.removeMember("clouds");
         },
         "Temperatura 18.3°C, wilgotność 55%, ciśnienie atm. 1012 hPa, bezchmurnie.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value reply = full_current_weather();
        c.change(reply);
        EXPECT_EQ(format_current_weather(reply), c.report);
    }
}

TEST(CurrentWeatherReport, RepliesWithoutValues) {
    const struct {
        const char* name;
        Json::Value document;
        std::string report;
    } cases[] = {
        {"nothing parsed", Json::Value(), all_placeholders},
        {"array at top level", parsed("[{\"main\":{\"temp\":1}}]"), all_placeholders},
        {"string at top level", parsed("\"Error: Not found city\""), all_placeholders},
        {"unknown town", parsed(not_found_reply()), ".\n"},
        {"wrong key", parsed(R"({"cod":401,"message":"Invalid API key."})"), ".\n"},
        {"null message counts as none", parsed(R"({"message":null})"), all_placeholders},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(format_current_weather(c.document), c.report);
    }
}

TEST(WindDirection, SectorsAreClosedRangesOfWholeDegreesAndBearingsAreRounded) {
    const char* const names[] = {
        "północny północno-wschodni",     "północno-wschodni",
        "wschodni północno-wschodni",     "wschodni",
        "wschodni południowo-wschodni",   "południowo-wschodni",
        "południowy południowo-wschodni", "południowy",
        "południowy południowo-zachodni", "południowo-zachodni",
        "zachodni południowo-zachodni",   "zachodni",
        "zachodni północno-zachodni",     "północno-zachodni",
        "północny północno-zachodni",
    };
    const double bounds[][2] = {{12, 33},   {34, 56},   {57, 78},   {79, 101},  {102, 123},
                                {124, 146}, {147, 168}, {169, 191}, {192, 213}, {214, 236},
                                {237, 258}, {259, 281}, {282, 303}, {304, 326}, {327, 348}};
    for (int i = 0; i < 15; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(wind_direction_name(bounds[i][0]), names[i]);
        EXPECT_EQ(wind_direction_name(bounds[i][1]), names[i]);
        EXPECT_EQ(wind_direction_name(bounds[i][1] + 0.49), names[i]);
        EXPECT_EQ(wind_direction_name(bounds[i][0] - 0.5), names[i]);
        EXPECT_EQ(wind_direction_name(bounds[i][1] + 0.5), i < 14 ? names[i + 1] : "północny");
    }
    for (double north : {0.0, 5.0, 11.0, 11.4, 348.5, 349.0, 355.5, 360.0, 360.4, -0.4}) {
        EXPECT_EQ(wind_direction_name(north), "północny") << north;
    }
    for (double outside : {-1.0, -0.5, 360.5, 720.0}) {
        EXPECT_EQ(wind_direction_name(outside), "") << outside;
    }
}

// Coordinates and figures go to services and programs with a point, under a locale that writes
// a comma too.
TEST(FixedNumbers, HaveADecimalPointInEveryLocale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "pl_PL.UTF-8"), nullptr) << "the Polish locale is missing";
    EXPECT_EQ(fixed(50.06, 5), "50.06000");
    EXPECT_EQ(fixed(-33.900004, 5), "-33.90000");
    std::setlocale(LC_ALL, before.c_str());
}

TEST(MeasurementTime, LocalTimeWithMinutes) {
    use_utc();
    EXPECT_EQ(format_measurement_time(0), "1970.01.01 godz. 00:00");
    EXPECT_EQ(format_measurement_time(1494081059), "2017.05.06 godz. 14:30");
    EXPECT_EQ(format_measurement_time(2147483647), "2038.01.19 godz. 03:14");
}

using CurrentWeather = fake_service_test;

TEST_F(CurrentWeather, ShowsTheReportForTheTownAsTyped) {
    reply(current_weather_endpoint, json_text(full_current_weather()));
    g_typed_town = "Nowy Sącz";
    captured_output out;
    show_current_weather();
    EXPECT_EQ(out.str(), first_line + full_report);
    const std::vector<std::string> expected = {
        "/data/2.5/weather?q=Nowy%20S%C4%85cz&units=metric&lang=pl&APPID=" NIMBROVATOR_WEATHER_KEY};
    EXPECT_EQ(recorded_requests(*service), expected);
}

TEST_F(CurrentWeather, FailuresKeepTheOrderOfMessages) {
    const struct {
        const char* name;
        std::string body;
        std::string output;
    } cases[] = {
        {"unknown town", not_found_reply(),
         first_line + "\nNa serwerze " NIMBROVATOR_WEATHER_HOST
                      " brak danych o tej miejscowości.\n.\n"},
        {"empty body", "",
         first_line + "Odebrałem nieprawidłowe dane z serwera, spróbuj ponownie!\n" +
             all_placeholders},
        {"oversized body", padded_not_found_reply(max_weather_reply_bytes + 100),
         first_line + "Odebrałem nieprawidłowe dane z serwera, spróbuj ponownie!\n" +
             all_placeholders},
    };
    g_typed_town = "Kraków";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reply(current_weather_endpoint, c.body);
        captured_output out;
        show_current_weather();
        EXPECT_EQ(out.str(), c.output);
    }
    EXPECT_EQ(endpoint_hits(*service, current_weather_endpoint), 3);
}

} // namespace

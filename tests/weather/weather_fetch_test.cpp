#include "weather/weather_test_support.h"

#include "nimbrovator_config.h"
#include "text/text.h"

#include <curl/curl.h>

#include <chrono>
#include <clocale>

namespace {

const std::string key = NIMBROVATOR_WEATHER_KEY;
const std::string parse_failure = "Odebrałem nieprawidłowe dane z serwera, spróbuj ponownie!\n";
const std::string not_found_line =
    std::string("\nNa serwerze ") + NIMBROVATOR_WEATHER_HOST + " brak danych o tej miejscowości.\n";

TEST(WeatherRequest, TownIsEscapedAndQueryKeepsItsOrder) {
    const struct {
        std::string town;
        std::string escaped;
    } cases[] = {
        {"Kraków", "Krak%C3%B3w"},
        {"Nowy Sącz", "Nowy%20S%C4%85cz"},
        {"a&b#c=d", "a%26b%23c%3Dd"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.town);
        EXPECT_EQ(current_weather_path(c.town),
                  "/data/2.5/weather?q=" + c.escaped + "&units=metric&lang=pl&APPID=" + key);
        EXPECT_EQ(daily_forecast_path(c.town, 2),
                  "/data/2.5/forecast/daily?q=" + c.escaped +
                      "&cnt=2&mode=json&units=metric&lang=pl&APPID=" + key);
    }
    EXPECT_EQ(daily_forecast_path("Ełk", 16),
              "/data/2.5/forecast/daily?q=E%C5%82k&cnt=16&mode=json&units=metric&lang=pl&APPID=" +
                  key);
}

// The escaping is the program's own (libcurl is not loaded for it): byte for byte libcurl's.
TEST(WeatherRequest, TownEscapingIsLibcurlsForEveryByte) {
    std::string every_byte;
    for (int byte = 1; byte < 256; ++byte) {
        every_byte += static_cast<char>(byte);
    }
    for (const std::string& town : {every_byte, std::string("Bielsko-Biała ~_."), std::string()}) {
        char* expected = curl_easy_escape(nullptr, town.data(), static_cast<int>(town.size()));
        ASSERT_NE(expected, nullptr);
        EXPECT_EQ(escape_town(town), expected);
        curl_free(expected);
    }
}

using WeatherFetch = fake_service_test;

TEST_F(WeatherFetch, SendsOneRequestPerFetchOverTheWire) {
    reply(current_weather_endpoint, "{}");
    reply(daily_forecast_endpoint, "{\"list\":[]}");
    EXPECT_EQ(fetch_current_weather("Nowy Sącz"), "{}");
    EXPECT_EQ(fetch_daily_forecast("a&b#c=d", 2), "{\"list\":[]}");
    const std::vector<std::string> expected = {
        "/data/2.5/weather?q=Nowy%20S%C4%85cz&units=metric&lang=pl&APPID=" + key,
        "/data/2.5/forecast/daily?q=a%26b%23c%3Dd&cnt=2&mode=json&units=metric&lang=pl&APPID=" +
            key,
    };
    EXPECT_EQ(recorded_requests(*service), expected);
    EXPECT_EQ(endpoint_hits(*service, current_weather_endpoint), 1);
    EXPECT_EQ(endpoint_hits(*service, daily_forecast_endpoint), 1);
}

TEST_F(WeatherFetch, ChunkedReplyArrivesWholeAndInOrder) {
    const std::string whole = json_text(full_current_weather());
    fake_reply chunked;
    for (std::size_t at = 0; at < whole.size(); at += 40) {
        chunked.chunks.push_back(whole.substr(at, 40));
    }
    ASSERT_GT(chunked.chunks.size(), 3u);
    set_fake_reply(*service, current_weather_endpoint, chunked);
    EXPECT_EQ(fetch_current_weather("Kraków"), whole);
}

TEST_F(WeatherFetch, ErrorStatusBodyIsHandedOn) {
    fake_reply missing;
    missing.status = 404;
    missing.body = not_found_reply();
    set_fake_reply(*service, current_weather_endpoint, missing);
    EXPECT_EQ(fetch_current_weather("Xyz"), not_found_reply());
}

TEST_F(WeatherFetch, SilentServerIsCutOffByTheTimeOut) {
    fake_reply silent;
    silent.silent = true;
    set_fake_reply(*service, daily_forecast_endpoint, silent);
    weather_service_endpoint().transfer_timeout_ms = 300;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch_daily_forecast("Kraków", 2), "");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(3));
    EXPECT_EQ(endpoint_hits(*service, daily_forecast_endpoint), 1);
}

TEST_F(WeatherFetch, BodyOverTheLimitIsRefused) {
    reply(current_weather_endpoint, padded_not_found_reply(max_weather_reply_bytes + 1));
    EXPECT_EQ(fetch_current_weather("Kraków"), "");

    const std::string largest = padded_not_found_reply(max_weather_reply_bytes);
    reply(current_weather_endpoint, largest);
    EXPECT_EQ(fetch_current_weather("Kraków"), largest);
}

TEST_F(WeatherFetch, UnreachableServiceGivesEmptyText) {
    const int port = fake_service_port(*service);
    service.reset();
    weather_service_endpoint().base_url = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(fetch_current_weather("Kraków"), "");
}

TEST(WeatherParse, BadTextPrintsTheFailureMessage) {
    const struct {
        const char* name;
        std::string text;
        bool valid;
        Json::ValueType type;
    } cases[] = {
        {"empty", "", false, Json::nullValue},
        {"html error page", "<html>502 Bad Gateway</html>", false, Json::nullValue},
        {"cut short", "{\"main\":{\"temp\":1", false, Json::nullValue},
        {"object", "{\"cod\":200}", true, Json::objectValue},
        {"array at top level", "[1,2]", true, Json::arrayValue},
        {"number at top level", "17", true, Json::intValue},
        {"comment allowed", "/* c */ {\"a\":1}", true, Json::objectValue},
        {"deep but allowed", std::string(200, '[') + std::string(200, ']'), true, Json::arrayValue},
        {"nested past the reader's limit", std::string(5000, '[') + std::string(5000, ']'), false,
         Json::nullValue},
        {"brackets inside a string", "{\"a\":\"" + std::string(5000, '[') + "\"}", true,
         Json::objectValue},
        {"nesting hidden by a quote in a block comment",
         "/*\"*/" + std::string(1100, '[') + std::string(1100, ']'), false, Json::nullValue},
        {"nesting hidden by a quote in a line comment",
         "//\"\n" + std::string(1100, '{') + std::string(1100, '}'), false, Json::nullValue},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        captured_output out;
        const Json::Value document = parse_weather_json(c.text);
        EXPECT_EQ(out.str(), c.valid ? "" : parse_failure);
        EXPECT_EQ(document.type(), c.type);
    }
}

TEST(WeatherParse, LeavesTheEnglishLocale) {
    set_english_locale();
    const std::string english = std::setlocale(LC_ALL, nullptr);
    set_polish_locale();
    captured_output out;
    parse_weather_json("{}");
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), english);
}

TEST(WeatherServiceError, OnlyTheUnknownTownTextPrintsTheLine) {
    const struct {
        const char* reply;
        bool printed;
    } cases[] = {
        {R"({"message":"Error: Not found city","cod":"404"})", true},
        {R"({"cod":"404","message":"city not found"})", false},
        {R"({"cod":401,"message":"Invalid API key."})", false},
        {R"({"cod":"200","message":0.0582563,"list":[]})", false},
        {R"({"message":["Error: Not found city"]})", false},
        {R"(["Error: Not found city"])", false},
        {R"("Error: Not found city")", false},
        {"{}", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        captured_output out;
        const Json::Value document = parse_weather_json(c.reply);
        check_service_error(document);
        EXPECT_EQ(out.str(), c.printed ? not_found_line : "");
    }
}

} // namespace

#include "service_replies.h"

#include "weather_data.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <clocale>

namespace {

constexpr std::time_t july = 1721044800; // 2024-07-15 12:00 UTC
const std::string key = "0123456789abcdef0123456789abcdef01234567";
const std::string weather_key = "7c41e09b2d5f8a63b0e9d4c7a1f25e86";

sim_settings settings(const std::string& fault = "none") {
    return sim_settings{key, weather_key, fault, 0, {}};
}

// A request as the storm client sends it.
fake_storm_request storm_request(const std::string& operation, const std::string& children,
                                 const std::string& klucz = key, bool with_action = true) {
    fake_storm_request request;
    request.method = "POST";
    request.path = "/soap.php";
    if (with_action) {
        request.headers.emplace_back("SOAPAction",
                                     "\"https://localhost/soap.php#" + operation + "\"");
    }
    request.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope "
                   "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">" +
                   (klucz.empty() ? std::string()
                                  : "<SOAP-ENV:Header><KeyAPI><klucz>" + klucz +
                                        "</klucz></KeyAPI></SOAP-ENV:Header>") +
                   "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"x\"><ns1:" + operation + ">" +
                   children + "</ns1:" + operation + "></SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";
    return request;
}

const std::string krakow_nazwa = "<nazwa xsi:type=\"xsd:string\">Kraków</nazwa>";

Json::Value parse(const std::string& text) {
    Json::Value document;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, document)) << text;
    return document;
}

TEST(SoapFloat, WritesUpToFourteenSignificantDigits) {
    EXPECT_EQ(soap_float(50.0614), "50.0614");
    EXPECT_EQ(soap_float(19.9366), "19.9366");
    EXPECT_EQ(soap_float(0.1), "0.1");
    EXPECT_EQ(soap_float(12), "12");
    EXPECT_EQ(soap_float(50.0614014), "50.0614014");
}

TEST(SoapFloat, NumbersKeepTheirPointUnderACommaLocale) {
    if (std::setlocale(LC_ALL, "pl_PL.utf8") == nullptr) {
        GTEST_SKIP() << "the Polish locale is not installed";
    }
    EXPECT_EQ(soap_float(50.0614), "50.0614");
    const storm_answer answer = answer_storm_request(
        storm_request("szukaj_burzy", "<y xsi:type=\"xsd:string\">50.5</y><x "
                                      "xsi:type=\"xsd:string\">19.5</x><promien "
                                      "xsi:type=\"xsd:int\">25</promien>"),
        settings(), july);
    std::setlocale(LC_ALL, "C");
    EXPECT_NE(answer.summary.find("50.5 N 19.5 E"), std::string::npos) << answer.summary;
    EXPECT_EQ(answer.reply.body.find(','), std::string::npos) << answer.reply.body;
}

TEST(XmlText, DecodesReferencesAndFindsWholeElementNames) {
    EXPECT_EQ(xml_unescape("a&amp;b &lt;&gt; &quot;&apos; &#65;&#x142; &bogus; &#0;"),
              "a&b <> \"' Ał &bogus; &#0;");
    const std::string xml = "<yy>1</yy><y xsi:type=\"xsd:float\">50.06</y><e/><x>T&amp;T</x>";
    EXPECT_EQ(xml_element_text(xml, "y"), "50.06");
    EXPECT_EQ(xml_element_text(xml, "x"), "T&T");
    EXPECT_EQ(xml_element_text(xml, "e"), "");
    EXPECT_EQ(xml_element_text(xml, "z"), "");
    EXPECT_EQ(xml_element_text("<y>unclosed", "y"), "");
}

TEST(StormRequest, OperationComesFromTheActionOrTheBody) {
    EXPECT_EQ(storm_operation(storm_request("szukaj_burzy", "")), "szukaj_burzy");
    EXPECT_EQ(storm_operation(storm_request("miejscowosc", krakow_nazwa, key, false)),
              "miejscowosc");
    EXPECT_EQ(header_key(storm_request("skrot", "")), key);
    EXPECT_EQ(header_key(storm_request("skrot", "", "")), "");
}

TEST(StormReplies, CarryTheTagsTheClientSearchesFor) {
    EXPECT_EQ(miejscowosc_return(find_town("Kraków")),
              "<return xsi:type=\"ns2:MyComplexTypeMiejscowosc\"><y xsi:type=\"xsd:float\">"
              "50.0614</y><x xsi:type=\"xsd:float\">19.9366</x></return>");
    EXPECT_EQ(miejscowosc_return(nullptr),
              "<return xsi:type=\"ns2:MyComplexTypeMiejscowosc\"><y xsi:type=\"xsd:float\">0</y>"
              "<x xsi:type=\"xsd:float\">0</x></return>");
    EXPECT_EQ(ostrzezenia_return({0, 1, 2, 3, 0, 1}),
              "<return xsi:type=\"ns2:MyComplexTypeOstrzezenia\">"
              "<mroz xsi:type=\"xsd:int\">0</mroz><upal xsi:type=\"xsd:int\">1</upal>"
              "<wiatr xsi:type=\"xsd:int\">2</wiatr><opad xsi:type=\"xsd:int\">3</opad>"
              "<burza xsi:type=\"xsd:int\">0</burza><traba xsi:type=\"xsd:int\">1</traba>"
              "</return>");
    lightning strikes;
    strikes.liczba = 7;
    strikes.odleglosc = 12.0;
    strikes.kierunek = "NE";
    strikes.okres = 15;
    EXPECT_EQ(lightning_return(strikes),
              "<return xsi:type=\"ns2:MyComplexTypeBurza\"><liczba xsi:type=\"xsd:int\">7"
              "</liczba><odleglosc xsi:type=\"xsd:float\">12.0</odleglosc><kierunek "
              "xsi:type=\"xsd:string\">NE</kierunek><okres xsi:type=\"xsd:int\">15</okres>"
              "</return>");
}

TEST(StormRequest, EachOperationAnswersWithItsResponse) {
    const struct {
        std::string operation;
        std::string children;
        std::string expected;
    } cases[] = {
        {"miejscowosc", krakow_nazwa,
         "<ns1:miejscowoscResponse><return xsi:type=\"ns2:MyComplexTypeMiejscowosc\"><y "
         "xsi:type=\"xsd:float\">50.0614</y>"},
        {"miejscowosc", "<nazwa xsi:type=\"xsd:string\">Nibylandia</nazwa>",
         "<y xsi:type=\"xsd:float\">0</y><x xsi:type=\"xsd:float\">0</x>"},
        {"ostrzezenia_pogodowe",
         "<y xsi:type=\"xsd:float\">50.0614014</y><x xsi:type=\"xsd:float\">19.9365997</x>",
         "<ns1:ostrzezenia_pogodoweResponse><return "
         "xsi:type=\"ns2:MyComplexTypeOstrzezenia\"><mroz xsi:type=\"xsd:int\">"},
        {"szukaj_burzy",
         "<y xsi:type=\"xsd:string\">50.0614</y><x xsi:type=\"xsd:string\">19.9366</x>"
         "<promien xsi:type=\"xsd:int\">25</promien>",
         "<ns1:szukaj_burzyResponse><return xsi:type=\"ns2:MyComplexTypeBurza\"><liczba "
         "xsi:type=\"xsd:int\">"},
        {"skrot", "<kierunek xsi:type=\"xsd:string\">SW</kierunek>",
         "<return xsi:type=\"xsd:string\">południowy zachód</return>"},
        {"KeyAPI", "<klucz xsi:type=\"xsd:string\">" + key + "</klucz>",
         "<return xsi:type=\"xsd:boolean\">true</return>"},
        {"KeyAPI", "<klucz xsi:type=\"xsd:string\">0000</klucz>",
         "<return xsi:type=\"xsd:boolean\">false</return>"},
    };
    for (const auto& c : cases) {
        const storm_answer answer =
            answer_storm_request(storm_request(c.operation, c.children), settings(), july);
        EXPECT_EQ(answer.reply.status, 200) << c.operation;
        EXPECT_NE(answer.reply.body.find(c.expected), std::string::npos) << c.operation << "\n"
                                                                         << answer.reply.body;
        EXPECT_EQ(answer.summary.rfind(c.operation, 0), 0u) << answer.summary;
    }
}

TEST(StormRequest, WrongOrMissingKeyOrOperationIsAFault) {
    const fake_storm_request requests[] = {
        storm_request("miejscowosc", krakow_nazwa, "ffffffffffffffffffffffffffffffffffffffff"),
        storm_request("miejscowosc", krakow_nazwa, ""),
        storm_request("kasuj_wszystko", ""),
    };
    for (const fake_storm_request& request : requests) {
        const storm_answer answer = answer_storm_request(request, settings(), july);
        EXPECT_EQ(answer.reply.status, 500);
        EXPECT_NE(answer.reply.body.find("<SOAP-ENV:Fault><faultcode>"), std::string::npos);
        EXPECT_EQ(answer.reply.body.find("<y "), std::string::npos);
    }
    fake_storm_request elsewhere = storm_request("miejscowosc", krakow_nazwa);
    elsewhere.path = "/index.php";
    EXPECT_EQ(answer_storm_request(elsewhere, settings(), july).reply.status, 404);
}

TEST(Faults, ChangeTheRepliesOfBothServices) {
    const fake_storm_request request = storm_request("miejscowosc", krakow_nazwa);
    const storm_answer plain = answer_storm_request(request, settings(), july);
    const weather_answer plain_weather = answer_weather_request(
        "/data/2.5/weather", "q=Krak%C3%B3w&APPID=" + weather_key, settings(), july);
    EXPECT_EQ(plain.reply.cut_after_bytes, -1);
    EXPECT_EQ(plain.reply.trickle_interval_ms, 0);

    const storm_answer cut = answer_storm_request(request, settings("close"), july);
    EXPECT_EQ(cut.reply.cut_after_bytes, static_cast<long>(plain.reply.body.size() / 2));
    const weather_answer cut_weather = answer_weather_request(
        "/data/2.5/weather", "q=Krak%C3%B3w&APPID=" + weather_key, settings("close"), july);
    EXPECT_EQ(cut_weather.reply.cut_after_bytes,
              static_cast<long>(plain_weather.reply.body.size() / 2));

    EXPECT_GT(answer_storm_request(request, settings("slow"), july).reply.trickle_interval_ms, 0);
    const storm_answer garbage = answer_storm_request(request, settings("garbage"), july);
    EXPECT_EQ(garbage.reply.body.find("<?xml"), std::string::npos);
    Json::Value ignored;
    EXPECT_FALSE(Json::Reader().parse(answer_weather_request("/data/2.5/weather",
                                                             "q=Krak%C3%B3w&APPID=" + weather_key,
                                                             settings("garbage"), july)
                                          .reply.body,
                                      ignored));

    const storm_answer fault = answer_storm_request(request, settings("soap-fault"), july);
    EXPECT_EQ(fault.reply.status, 500);
    EXPECT_NE(fault.reply.body.find("SOAP-ENV:Fault"), std::string::npos);
    const storm_answer error = answer_storm_request(request, settings("http500"), july);
    EXPECT_EQ(error.reply.status, 500);
    EXPECT_EQ(error.reply.body.find("SOAP-ENV:Fault"), std::string::npos);
    EXPECT_EQ(answer_weather_request("/data/2.5/weather", "q=Lodz&APPID=" + weather_key,
                                     settings("soap-fault"), july)
                  .reply.status,
              500);

    sim_settings slow = settings();
    slow.delay_ms = 250;
    EXPECT_EQ(answer_storm_request(request, slow, july).reply.delay_ms, 250);
    EXPECT_EQ(answer_weather_request("/data/2.5/weather", "q=Lodz", slow, july).reply.delay_ms,
              250);
}

TEST(Query, ValuesAreFoundAndDecoded) {
    const std::string query = "q=Nowy%20S%C4%85cz&cnt=2&appid=abc&units=metric&x=a+b&empty";
    EXPECT_EQ(query_value(query, "q"), "Nowy Sącz");
    EXPECT_EQ(query_value(query, "APPID"), "abc");
    EXPECT_EQ(query_value(query, "cnt"), "2");
    EXPECT_EQ(query_value(query, "x"), "a b");
    EXPECT_EQ(query_value(query, "empty"), "");
    EXPECT_EQ(query_value(query, "lang"), "");
    EXPECT_EQ(percent_decode("100%25 %zz %4"), "100% %zz %4");
}

TEST(WeatherRequest, ChecksTheKeyThenTheTown) {
    const struct {
        std::string path;
        std::string query;
        int status;
        std::string body_start;
    } cases[] = {
        {"/data/2.5/weather", "q=Krak%C3%B3w&units=metric&APPID=bad", 401,
         "{\"cod\":401, \"message\": \"Invalid API key. "},
        {"/data/2.5/weather", "q=Krak%C3%B3w&units=metric", 401, "{\"cod\":401"},
        {"/data/2.5/weather", "q=Nibylandia&APPID=" + weather_key, 404,
         "{\"message\":\"Error: Not found city\",\"cod\":\"404\"}"},
        {"/data/2.5/forecast/daily", "q=Nibylandia&cnt=2&APPID=" + weather_key, 404,
         "{\"message\":\"Error: Not found city\",\"cod\":\"404\"}"},
        {"/data/2.5/onecall", "q=Lodz&APPID=" + weather_key, 404, "{\"cod\":\"404\""},
    };
    for (const auto& c : cases) {
        const weather_answer answer = answer_weather_request(c.path, c.query, settings(), july);
        EXPECT_EQ(answer.reply.status, c.status) << c.query;
        EXPECT_EQ(answer.reply.body.rfind(c.body_start, 0), 0u) << answer.reply.body;
    }
}

TEST(WeatherRequest, APointIsTheNearestTownAtThePointItself) {
    const std::string key = "&units=metric&APPID=" + weather_key;
    const weather_answer near_krakow =
        answer_weather_request("/data/2.5/weather", "lat=50.1&lon=19.9" + key, settings(), july);
    ASSERT_EQ(near_krakow.reply.status, 200) << near_krakow.reply.body;
    Json::Value document;
    ASSERT_TRUE(Json::Reader().parse(near_krakow.reply.body, document));
    EXPECT_EQ(document["name"], "Kraków");
    EXPECT_DOUBLE_EQ(document["coord"]["lat"].asDouble(), 50.1);
    EXPECT_DOUBLE_EQ(document["coord"]["lon"].asDouble(), 19.9);
    const weather_answer forecast = answer_weather_request(
        "/data/2.5/forecast/daily", "lat=54.35&lon=18.65&cnt=2" + key, settings(), july);
    ASSERT_TRUE(Json::Reader().parse(forecast.reply.body, document));
    EXPECT_EQ(document["city"]["name"], "Gdańsk");
    for (const char* query : {"lat=50.1", "lat=x&lon=19.9", "lat=91&lon=19.9", "lat=&lon="}) {
        EXPECT_EQ(
            answer_weather_request("/data/2.5/weather", query + key, settings(), july).reply.status,
            404)
            << query;
    }
}

TEST(WeatherRequest, CurrentWeatherHasTheMembersTheReportsRead) {
    const weather_answer answer = answer_weather_request(
        "/data/2.5/weather", "q=krakow&units=metric&lang=pl&APPID=" + weather_key, settings(),
        july);
    ASSERT_EQ(answer.reply.status, 200);
    EXPECT_NE(answer.reply.body.find("\"name\":\"Kraków\""), std::string::npos);
    const Json::Value reply = parse(answer.reply.body);
    EXPECT_TRUE(reply["message"].isNull());
    EXPECT_EQ(reply["cod"].asInt(), 200);
    EXPECT_LE(reply["dt"].asInt64(), july);
    EXPECT_GT(reply["dt"].asInt64(), july - 600);
    const double temperature = reply["main"]["temp"].asDouble();
    EXPECT_GT(temperature, 0);
    EXPECT_LT(temperature, 40); // a July afternoon
    EXPECT_GE(reply["main"]["pressure"].asInt(), 990);
    EXPECT_LE(reply["main"]["pressure"].asInt(), 1035);
    EXPECT_GE(reply["main"]["humidity"].asInt(), 0);
    EXPECT_LE(reply["main"]["humidity"].asInt(), 100);
    EXPECT_GE(reply["wind"]["gust"].asDouble(), reply["wind"]["speed"].asDouble());
    EXPECT_LT(reply["wind"]["deg"].asInt(), 360);
    EXPECT_TRUE(reply["clouds"]["all"].isInt());
    EXPECT_TRUE(reply["weather"][0]["description"].isString());
    EXPECT_TRUE(reply["rain"].isNull() || reply["rain"]["3h"].isDouble());
    // The same window, the same reply.
    EXPECT_EQ(answer.reply.body,
              answer_weather_request("/data/2.5/weather",
                                     "q=KRAKÓW&units=metric&lang=pl&APPID=" + weather_key,
                                     settings(), july + 599 - july % 600)
                  .reply.body);
}

TEST(WeatherRequest, ForecastHasTheRequestedDays) {
    for (int days : {1, 2, 5}) {
        const weather_answer answer =
            answer_weather_request("/data/2.5/forecast/daily",
                                   "q=Gda%C5%84sk&cnt=" + std::to_string(days) +
                                       "&mode=json&units=metric&APPID=" + weather_key,
                                   settings(), july);
        const Json::Value reply = parse(answer.reply.body);
        EXPECT_EQ(reply["cod"].asString(), "200");
        EXPECT_TRUE(reply["message"].isNumeric());
        ASSERT_EQ(reply["list"].size(), static_cast<unsigned>(days));
        for (unsigned i = 0; i < reply["list"].size(); ++i) {
            const Json::Value& day = reply["list"][i];
            EXPECT_LT(day["temp"]["min"].asDouble(), day["temp"]["max"].asDouble());
            EXPECT_TRUE(day["rain"].isNull() || day["rain"].isDouble());
            EXPECT_TRUE(day["speed"].isDouble());
            EXPECT_GE(day["pressure"].asInt(), 990);
            EXPECT_EQ(day["dt"].asInt64() / 86400, july / 86400 + i);
        }
    }
}

TEST(WeatherRequest, ImperialUnitsConvertTemperatureAndWind) {
    const sim_town& town = *find_town("Poznań");
    const Json::Value metric = current_weather_reply(town, july, "metric");
    const Json::Value imperial = current_weather_reply(town, july, "imperial");
    EXPECT_NEAR(imperial["main"]["temp"].asDouble(), metric["main"]["temp"].asDouble() * 1.8 + 32,
                0.05);
    EXPECT_NEAR(imperial["wind"]["speed"].asDouble(), metric["wind"]["speed"].asDouble() * 2.23694,
                0.05);
    const Json::Value standard = current_weather_reply(town, july, "");
    EXPECT_NEAR(standard["main"]["temp"].asDouble(), metric["main"]["temp"].asDouble() + 273.15,
                0.02);
}

} // namespace

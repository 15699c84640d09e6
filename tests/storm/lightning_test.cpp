#include "storm/lightning.h"

#include "state/run_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string singular = "doziemne wyładowanie atmosferyczne";
const std::string plural = "doziemne wyładowania atmosferyczne";
const std::string genitive = "doziemnych wyładowań atmosferycznych";

struct PhraseCase {
    std::string count;
    std::string phrase;
};

TEST(StrikePhrase, AgreesWithTheCount) {
    const PhraseCase cases[] = {
        {"1", singular},   {"2", plural},      {"3", plural},       {"4", plural},
        {"5", genitive},   {"6", genitive},    {"7", genitive},     {"8", genitive},
        {"9", genitive},   {"10", genitive},   {"11", genitive},    {"12", genitive},
        {"13", genitive},  {"14", genitive},   {"15", genitive},    {"16", genitive},
        {"17", genitive},  {"18", genitive},   {"19", genitive},    {"20", genitive},
        {"21", genitive},  {"22", plural},     {"23", plural},      {"24", plural},
        {"25", genitive},  {"26", genitive},   {"27", genitive},    {"28", genitive},
        {"29", genitive},  {"30", genitive},   {"31", genitive},    {"100", genitive},
        {"101", genitive}, {"102", plural},    {"103", plural},     {"104", plural},
        {"111", genitive}, {"112", genitive},  {"113", genitive},   {"114", genitive},
        {"122", plural},   {"1012", genitive}, {"1022", plural},    {"00", ""},
        {"", ""},          {"abc", ""},        {"99999999999", ""},
    };
    for (const PhraseCase& c : cases) {
        EXPECT_EQ(strike_phrase(c.count), c.phrase) << "count \"" << c.count << "\"";
    }
}

// A reply text as the storm service writes it, with the given element contents.
std::string storm_reply(const std::string& count, const std::string& distance,
                        const std::string& direction, const std::string& period) {
    return "<liczba xsi:type=\"xsd:int\">" + count + "</liczba><odleglosc xsi:type=\"xsd:float\">" +
           distance + "</odleglosc><kierunek xsi:type=\"xsd:string\">" + direction +
           "</kierunek><okres xsi:type=\"xsd:int\">" + period + "</okres>";
}

struct ReportCase {
    const char* name;
    std::string reply;
    int radius;
    std::string expected;
};

TEST(LightningReport, PrintsTheSentences) {
    const std::string tail = " w ciągu ostatnich 15 minut w promieniu 25 km od miejscowości "
                             "Kraków. \n\nNajbliższe wyładowanie w odległości 12.3 km na ";
    const ReportCase cases[] = {
        {"one strike", storm_reply("1", "12.3", "NE", "15"), 25,
         "\nZarejestrowano 1 doziemne wyładowanie atmosferyczne w ciągu ostatnich 15 minut w "
         "promieniu 25 km od miejscowości Kraków. \n\nNajbliższe wyładowanie w odległości 12.3 "
         "km na północny wschód.\n"},
        {"no strikes", storm_reply("0", "12.3", "NE", "15"), 25,
         "\nNie zarejestrowano wyładowań atmosferycznych w ciągu ostatnich 15 minut w promieniu "
         "25 km od miejscowości Kraków.\n"},
        {"no strikes, other radius", storm_reply("0", "", "", "10"), 100,
         "\nNie zarejestrowano wyładowań atmosferycznych w ciągu ostatnich 10 minut w promieniu "
         "100 km od miejscowości Kraków.\n"},
        {"plural", storm_reply("23", "12.3", "SW", "15"), 25,
         "\nZarejestrowano 23 " + plural + tail + "południowy zachód.\n"},
        {"genitive", storm_reply("112", "12.3", "N", "15"), 25,
         "\nZarejestrowano 112 " + genitive + tail + "północ.\n"},
        {"count 00 has no phrase", storm_reply("00", "12.3", "E", "15"), 25,
         "\nZarejestrowano 00 " + tail + "wschód.\n"},
        {"lower-case direction code", storm_reply("5", "12.3", "ne", "15"), 25,
         "\nZarejestrowano 5 " + genitive + tail + ".\n"},
        {"no direction element",
         "<liczba xsi:type=\"xsd:int\">5</liczba><odleglosc xsi:type=\"xsd:float\">12.3</"
         "odleglosc><okres xsi:type=\"xsd:int\">15</okres>",
         25, "\nZarejestrowano 5 " + genitive + tail + ".\n"},
        {"count without closing tag",
         "<okres xsi:type=\"xsd:int\">15</okres><liczba xsi:type=\"xsd:int\">7", 25,
         "\nZarejestrowano 7 " + genitive +
             " w ciągu ostatnich 15 minut w promieniu 25 km od miejscowości Kraków. "
             "\n\nNajbliższe wyładowanie w odległości  km na .\n"},
        {"largest count", storm_reply("2147483647", "12.3", "S", "15"), 25,
         "\nZarejestrowano 2147483647 " + genitive + tail + "południe.\n"},
        {"control characters dropped",
         storm_reply("2", "\x1b[2J12.3\a",
                     "N\x1b"
                     "E",
                     std::string("1\0"
                                 "5\x7f",
                                 4)),
         25,
         "\nZarejestrowano 2 " + plural +
             " w ciągu ostatnich 15 minut w promieniu 25 km od miejscowości Kraków. "
             "\n\nNajbliższe wyładowanie w odległości [2J12.3 km na północny wschód.\n"},
        {"tab and other text kept", storm_reply("3", " 12,3 ", "W", "15\t"), 25,
         "\nZarejestrowano 3 " + plural +
             " w ciągu ostatnich 15\t minut w promieniu 25 km od miejscowości Kraków. "
             "\n\nNajbliższe wyładowanie w odległości  12,3  km na zachód.\n"},
    };
    for (const ReportCase& c : cases) {
        const std::optional<lightning_report> report = extract_lightning(c.reply);
        ASSERT_TRUE(report) << c.name;
        EXPECT_EQ(lightning_text(*report, c.radius, "miejscowości Kraków"), c.expected) << c.name;
    }
}

TEST(LightningReport, RejectsAReplyWithoutAUsableCount) {
    const char* const counts[] = {"",
                                  "abc",
                                  "99999999999",
                                  "2147483648",
                                  "-1",
                                  " 1",
                                  "1 ",
                                  "1.5",
                                  "\x1b"
                                  "5",
                                  "0x10"};
    for (const char* count : counts) {
        EXPECT_FALSE(extract_lightning(storm_reply(count, "12.3", "NE", "15")))
            << "count \"" << count << "\"";
    }
    const char* const replies[] = {
        "",
        "<odleglosc xsi:type=\"xsd:float\">12.3</odleglosc>",
        "<liczba xsi:type=\"xsd:string\">5</liczba><okres xsi:type=\"xsd:int\">15</okres>",
    };
    for (const char* reply : replies) {
        EXPECT_FALSE(extract_lightning(reply)) << reply;
    }
}

TEST(LightningReport, FailureMessageNamesTheServer) {
    EXPECT_EQ(lightning_failure_message("burze.example:8443"),
              "\nNie udało się pobrać danych o wyładowaniach atmosferycznych z serwera "
              "burze.example:8443.\n");
}

} // namespace

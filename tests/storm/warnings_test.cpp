#include "storm/warnings.h"

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* const elements[6] = {"mroz", "upal", "wiatr", "opad", "burza", "traba"};

// A reply text with the six levels in the service's order; a null level leaves its element out.
std::string warnings_reply(const std::array<const char*, 6>& levels) {
    std::string reply;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] != nullptr) {
            reply += std::string("<") + elements[i] + " xsi:type=\"xsd:int\">" + levels[i] + "</" +
                     elements[i] + ">";
        }
    }
    return reply;
}

const std::string point = "Kraków o współrzędnych (50.06 N, 19.94 E)";
const std::string one_warning = "\nWydano ostrzeżenie dla punktu " + point + ":\n\n";
const std::string many_warnings = "\nWydano ostrzeżenia dla punktu " + point + ":\n\n";

std::string report(const std::array<const char*, 6>& levels) {
    return format_warnings_report(warnings_reply(levels), "Kraków", "50.06", "19.94");
}

struct LineCase {
    std::size_t hazard;
    const char* level;
    std::string line;
};

TEST(WarningsReport, PrintsOneLinePerHazardAndLevel) {
    const LineCase cases[] = {
        {0, "1", "MRÓZ: 1 stopień zagrożenia (od -20 do -25°C)"},
        {0, "2", "MRÓZ: 2 stopie zagrożenia (od -26 do -30°C)"},
        {0, "3", "MRÓZ: 3 stopień zagrożenia (poniżej -30°C)"},
        {1, "1", "UPAŁ: 1 stopień zagrożenia (od 30 do 34°C)"},
        {1, "2", "UPAŁ: 2 stopień zagrożenia (od 35 do 38°C)"},
        {1, "3", "UPAŁ: 3 stopień zagrożenia (powyżej 38°C)"},
        {2, "1", "WIATR: 1 stopień zagrożenia (w porywach od 70 do 90 km/h)"},
        {2, "2", "WIATR: 2 stopień zagrożenia (w porywach od 91 do 110 km/h)"},
        {2, "3", "WIATR: 3 stopień zagrożenia (w porywach powyżej 110 km/h)"},
        {3, "1",
         "OPAD: 1 stopień zagrożenia (deszcz od 25 do 40 mm w ciągu 24 godzin, śnieg od 10 do 15 "
         "cm w ciągu 24 godzin)"},
        {3, "2",
         "OPAD: 2 stopień zagrożenia (deszcz od 41 do 70 mm w ciągu 24 godzin, śnieg od 16 do 30 "
         "cm w ciągu 24 godzin, śnieg od 10 do 15 cm w ciągu 12 godzin)"},
        {3, "3",
         "OPAD: 3 stopień zagrożenia (deszcz powyżej 70 mm w ciągu 24 godzin, śnieg powyżej 30 cm "
         "w ciągu 24 godzin, śnieg powyżej 15 cm w ciągu 12 godzin)"},
        {4, "1",
         "BURZA: 1 stopień zagrożenia (deszcz od 15 do 40 mm, wiatr w porywach od 60 do 90 km/h, "
         "grad poniżej 2 cm)"},
        {4, "2",
         "BURZA: 2 stopień zagrożenia (deszcz od 41 do 70 mm, wiatr w porywach od 91 do 110 "
         "km/h, grad od 2 do 5 cm)"},
        {4, "3",
         "BURZA: 3 stopień zagrożenia (deszcz powyżej 70 mm, wiatr w porywach powyżej 110 km/h, "
         "grad powyżej 5 cm)"},
        {5, "1", "TORNADO: (ryzyko niewielkie)"},
        {5, "2", "TORNADO: (ryzyko umiarkowane)"},
        {5, "3", "TORNADO: (ryzyko wysokie)"},
    };
    for (const LineCase& c : cases) {
        std::array<const char*, 6> levels = {"0", "0", "0", "0", "0", "0"};
        levels[c.hazard] = c.level;
        EXPECT_EQ(report(levels), one_warning + c.line + "\n")
            << elements[c.hazard] << " at " << c.level;
    }
}

struct ReportCase {
    const char* name;
    std::array<const char*, 6> levels;
    std::string expected;
};

TEST(WarningsReport, HeadingFollowsTheNumberOfWarnings) {
    const ReportCase cases[] = {
        {"all zero",
         {"0", "0", "0", "0", "0", "0"},
         "\nBrak ostrzeżeń dla punktu " + point + ".\n"},
        {"frost and thunderstorm",
         {"3", "0", "0", "0", "1", "0"},
         many_warnings + "MRÓZ: 3 stopień zagrożenia (poniżej -30°C)\nBURZA: 1 stopień "
                         "zagrożenia (deszcz od 15 do 40 mm, wiatr w porywach od 60 do 90 km/h, "
                         "grad poniżej 2 cm)\n"},
        {"unknown level counts but prints no line", {"0", "0", "0", "4", "0", "0"}, one_warning},
        {"unknown levels only", {" 1", "1 ", "01", "", "x", "-1"}, many_warnings},
        {"unknown level beside a known one",
         {"0", "4", "0", "0", "0", "2"},
         many_warnings + "TORNADO: (ryzyko umiarkowane)\n"},
        {"missing elements count as zero",
         {"0", nullptr, "2", nullptr, nullptr, nullptr},
         one_warning + "WIATR: 2 stopień zagrożenia (w porywach od 91 do 110 km/h)\n"},
        {"frost alone",
         {"0", nullptr, nullptr, nullptr, nullptr, nullptr},
         "\nBrak ostrzeżeń dla punktu " + point + ".\n"},
        {"every hazard in order",
         {"1", "2", "3", "1", "2", "3"},
         many_warnings +
             "MRÓZ: 1 stopień zagrożenia (od -20 do -25°C)\n"
             "UPAŁ: 2 stopień zagrożenia (od 35 do 38°C)\n"
             "WIATR: 3 stopień zagrożenia (w porywach powyżej 110 km/h)\n"
             "OPAD: 1 stopień zagrożenia (deszcz od 25 do 40 mm w ciągu 24 godzin, śnieg od 10 "
             "do 15 cm w ciągu 24 godzin)\n"
             "BURZA: 2 stopień zagrożenia (deszcz od 41 do 70 mm, wiatr w porywach od 91 do 110 "
             "km/h, grad od 2 do 5 cm)\n"
             "TORNADO: (ryzyko wysokie)\n"},
    };
    for (const ReportCase& c : cases) {
        EXPECT_EQ(report(c.levels), c.expected) << c.name;
    }
}

TEST(WarningsReport, NothingWithoutTheFrostLevel) {
    const std::string replies[] = {
        "",
        warnings_reply({nullptr, "1", "2", "3", "1", "2"}),
        "<mroz xsi:type=\"xsd:string\">1</mroz>" +
            warnings_reply({nullptr, "1", "0", "0", "0", "0"}),
        "<mroz>1</mroz>",
    };
    for (const std::string& reply : replies) {
        EXPECT_EQ(format_warnings_report(reply, "Kraków", "50.06", "19.94"), "") << reply;
    }
}

TEST(WarningsReport, CoordinatesAndTownPrintedAsGiven) {
    const std::string reply = warnings_reply({"0", "0", "0", "0", "0", "0"});
    EXPECT_EQ(format_warnings_report(reply, "Bielsko-Biała", "49.8220", " 19.0440"),
              "\nBrak ostrzeżeń dla punktu Bielsko-Biała o współrzędnych (49.8220 N,  19.0440 "
              "E).\n");
    EXPECT_EQ(format_warnings_report(reply, "Łódź", "51,77", "19.46abc"),
              "\nBrak ostrzeżeń dla punktu Łódź o współrzędnych (51,77 N, 19.46abc E).\n");
}

struct CoordinateCase {
    const char* text;
    float value;
};

const CoordinateCase coordinate_cases[] = {
    {"50.06", 50.06F}, {"19.94", 19.94F},    {"  50.0614", 50.0614F}, {"\t-3.5", -3.5F},
    {"12", 12.0F},     {"19.94abc", 19.94F}, {"1,5", 1.0F},           {"abc", 0.0F},
    {"", 0.0F},        {".5", 0.5F},         {"N 50.06", 0.0F},       {"-", 0.0F},
};

void expect_coordinates() {
    for (const CoordinateCase& c : coordinate_cases) {
        EXPECT_EQ(coordinate_value(c.text), c.value) << "\"" << c.text << "\"";
    }
}

TEST(CoordinateValue, ReadsTheLeadingDecimalNumber) {
    expect_coordinates();
}

TEST(CoordinateValue, UsesADecimalPointUnderThePolishLocale) {
    if (std::setlocale(LC_ALL, "pl_PL.utf8") == nullptr) {
        GTEST_SKIP() << "pl_PL.utf8 is not installed";
    }
    // The process locale itself reads a decimal comma now.
    EXPECT_EQ(std::strtof("1,5", nullptr), 1.5F);
    expect_coordinates();
    std::setlocale(LC_ALL, "C");
}

TEST(CoordinateValue, SentValuesKeepNineSignificantDigits) {
    const std::pair<const char*, const char*> cases[] = {
        {"50.0614", "50.0614014"}, {"19.9366", "19.9365997"}, {"19.9", "19.8999996"},
        {"50.06", "50.0600014"},   {"19.94", "19.9400005"},
    };
    for (const auto& [text, sent] : cases) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.9G", coordinate_value(text));
        EXPECT_STREQ(buffer, sent) << text;
    }
}

} // namespace

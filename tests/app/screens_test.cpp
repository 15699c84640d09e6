#include "app/screens.h"
#include "text/text.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(Banner, IsABoxOfEightyColumns) {
    const std::string banner = banner_text("0.3");
    EXPECT_NE(banner.back(), '\n') << "the last row has no line end";
    const std::vector<std::string> rows = lines_of(banner);
    ASSERT_EQ(rows.size(), 6u);
    for (const std::string& row : rows) {
        EXPECT_EQ(utf8_length(row), 80u) << row;
        EXPECT_EQ(row.front(), '#');
        EXPECT_EQ(row.back(), '#');
    }
    EXPECT_EQ(rows[0], std::string(80, '#'));
    EXPECT_EQ(rows[5], std::string(80, '#'));
    EXPECT_EQ(rows[1], "#" + std::string(23, ' ') + "*** Nimbrovator (wersja 0.3) ***" +
                           std::string(23, ' ') + "#");
    EXPECT_NE(rows[2].find(" autor: "), std::string::npos);
    EXPECT_EQ(rows[2].substr(rows[2].size() - 3), ") #") << "the credit is right-aligned";
    EXPECT_EQ(rows[3].rfind("#  źródło danych: https://", 0), 0u);
    // Both addresses begin in column 19.
    EXPECT_EQ(rows[4].substr(0, 26), "#" + std::string(17, ' ') + "https://");
}

TEST(Usage, NamesTheProgramAsInvoked) {
    EXPECT_EQ(usage_text("/usr/local/bin/nimbrovator"),
              "\nużycie:\n\n/usr/local/bin/nimbrovator [ miasto ] [ promień (opcjonalnie) ]\n"
              "lub interaktywnie bez parametrów.\n\n-s ustawienia programu\n\n");
}

TEST(RequestedRadius, DigitsOnlyAndWithinInt) {
    const struct {
        const char* argument;
        int expected;
    } cases[] = {
        {"30", 30},         {"007", 7},
        {"3", 3},           {"250", 250},
        {"abc", 25},        {"", 25},
        {"-5", 25},         {"2147483647", 2147483647},
        {"2147483648", 25}, {"99999999999999999999999", 25},
        {"30 ", 25},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(requested_radius(c.argument), c.expected) << c.argument;
    }
}

} // namespace

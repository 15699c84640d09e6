#include "text/text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

// CTest runs these cases twice: with the Polish locales installed, and with LOCPATH pointing at
// a directory that holds only C.UTF-8, as on a machine without them.
TEST(TextTest, RunsUnderTheExpectedLocales) {
    const char* expect = std::getenv("NIMBROVATOR_EXPECT_POLISH_LOCALE");
    const bool polish_expected = expect == nullptr || std::strcmp(expect, "0") != 0;
    set_polish_locale();
    const std::string name = std::setlocale(LC_ALL, nullptr);
    EXPECT_EQ(name, polish_expected ? "pl_PL.utf8" : "C.UTF-8");
}

TEST(TextTest, ConvertsPolishNamesBothWays) {
    const std::string name = "Żółćkowice"; // 10 characters, 14 bytes
    ASSERT_EQ(name.size(), 14u);
    const std::wstring wide = to_wide(name);
    EXPECT_EQ(wide.size(), 10u);
    EXPECT_EQ(wide[0], L'\u017B');
    EXPECT_EQ(to_narrow(wide), name);
}

TEST(TextTest, ConversionLimits) {
    const std::string long_ascii(50, 'a');
    EXPECT_EQ(to_wide(long_ascii).size(), 40u);
    // 21 two-byte letters: only 20 fit whole into 40 bytes.
    std::wstring letters(21, L'\u0105');
    const std::string narrow = to_narrow(letters);
    EXPECT_EQ(narrow.size(), 40u);
    EXPECT_EQ(to_wide(narrow).size(), 20u);
}

TEST(TextTest, InvalidUtf8KeepsWhatWasConvertedBeforeTheBadByte) {
    EXPECT_EQ(to_wide("Kra\xFFk\xC3"), L"Kra");
    EXPECT_EQ(to_wide("\xC3"), L"");
}

TEST(TextTest, CapitalizesTownNames) {
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {"zielona góra", "Zielona Góra"},
        {"ZIELONA GÓRA", "Zielona Góra"},
        {"BIELSKO-BIAŁA", "Bielsko-Biała"},
        {"bielsko-biała", "Bielsko-Biała"},
        {"łódź", "Łódź"},
        {"ŚWINOUJŚCIE", "Świnoujście"},
        {"nowy  sącz", "Nowy  Sącz"},
        {"a-b", "A-B"},
        {" kraków", " kraków"}, // the separator rule starts at the second character
        {"-ab", "-ab"},
        {"", ""},
        {"ełk-", "Ełk-"},
        {"x", "X"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_narrow(capitalize_town_name(to_wide(c.input))), c.expected) << c.input;
    }
}

TEST(TextTest, LowersOnlyAsciiBytes) {
    EXPECT_EQ(lower_bytes("Zachmurzenie DUŻE, ŚNIEG"), "zachmurzenie duŻe, Śnieg");
}

TEST(NearestName, OneSlipOrTwoAwayLetterCaseNotCounted) {
    const std::vector<std::string> places = {"Dom", "Działka", "Dworzec"};
    const std::vector<std::string> keys = {"storm_host", "storm_key", "storm_ca_file",
                                           "weather_key"};
    const struct {
        std::string word;
        const std::vector<std::string>& names;
        std::optional<std::string> expected;
    } cases[] = {
        {"dom", places, "Dom"},
        {"DZIAŁKA", places, "Działka"},
        {"działak", places, "Działka"},
        {"Dworzec", places, std::nullopt}, // itself is no slip
        {"Nibylandia", places, std::nullopt},
        {"storm_kye", keys, "storm_key"},
        {"stormkey", keys, "storm_key"},
        {"storm_hots", keys, "storm_host"},
        {"wether_key", keys, "weather_key"},
        {"colour", keys, std::nullopt},
        {"", keys, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nearest_name(c.word, c.names), c.expected) << c.word;
    }
}

TEST(IsNumber, DigitsOfTheBase) {
    const struct {
        const char* text;
        int base;
        bool expected;
    } cases[] = {
        {"25", 10, true},  {"2a", 10, false},  {"", 10, true},    {"-5", 10, false},
        {"FF", 16, true},  {"ff", 16, false},  {"FF", 10, false}, {"007", 10, true},
        {" 5", 10, false}, {"5.0", 10, false}, {"101", 2, true},  {"102", 2, false},
        {"F", 20, true},   {"G", 20, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_number(c.text, c.base), c.expected) << c.text << " base " << c.base;
    }
}

TEST(StripControlChars, DropsTerminalControlBytesOnly) {
    const std::string text = std::string("a\x1b[31mb\x07\x00\x7f", 10) + "\tc\nd\x0b\x0c\x0dé";
    EXPECT_EQ(strip_control_chars(text), "a[31mb\tc\ndé");
}

TEST(StripControlChars, DropsC1ControlsAndBytesThatAreNotUtf8) {
    const struct {
        const char* name;
        std::string text;
        std::string expected;
    } cases[] = {
        {"CSI",
         "\xC2\x9B"
         "2Jburza",
         "2Jburza"},
        {"C1 bounds",
         "a\xC2\x80"
         "b\xC2\x9F"
         "c",
         "abc"},
        {"no-break space stays",
         "a\xC2\xA0"
         "b",
         "a\xC2\xA0"
         "b"},
        {"Polish and four-byte letters stay", "Łódź \xF0\x9F\x8C\xA9", "Łódź \xF0\x9F\x8C\xA9"},
        {"stray bytes", "Kra\xFFk\xC3", "Krak"},
        {"lead byte without its follower", "\xC3(", "("},
        {"overlong slash", "\xC0\xAF\xE0\x80\xAF", ""},
        {"surrogate", "\xED\xA0\x80x", "x"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80y", "y"},
        {"last code point stays", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(strip_control_chars(c.text), c.expected) << c.name;
    }
}

TEST(CleanTownName, DropsControlsAndSurroundingSpaces) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"Kraków\r", "Kraków"},
        {" Kraków", "Kraków"},
        {"\tKraków", "Kraków"},
        {"  Nowy Sącz  ", "Nowy Sącz"},
        {"Kra\x1B[2Jków", "Kra[2Jków"},
        {"Kra\xC2\x9Bków", "Kraków"},
        {" \r\n\t ", ""},
        {"\x1B Kraków\x7F", "Kraków"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clean_town_name(c.text), c.expected) << c.text;
    }
}

} // namespace

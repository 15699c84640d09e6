#include "generators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

namespace {

// 2024-07-15 12:00 UTC and 2024-01-15 12:00 UTC.
constexpr std::time_t july = 1721044800;
constexpr std::time_t january = 1705320000;

const std::set<std::string> compass_codes = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};

TEST(ObservationWindow, IsTheFloorOfTenMinuteSteps) {
    EXPECT_EQ(observation_window(0), 0);
    EXPECT_EQ(observation_window(599), 0);
    EXPECT_EQ(observation_window(600), 1);
    EXPECT_EQ(observation_window(-1), -1);
    EXPECT_EQ(observation_window(-600), -1);
    EXPECT_EQ(observation_window(-601), -2);
}

TEST(Lightning, IsTheSameWithinAWindowAndChangesAcrossWindows) {
    const std::time_t start = july - july % 600;
    int changed = 0;
    for (int w = 0; w < 40; ++w) {
        const std::time_t t = start + w * 600;
        const lightning a = lightning_at(50.0614, 19.9366, 25, t);
        const lightning b = lightning_at(50.0614014, 19.9365997, 25, t + 599);
        EXPECT_EQ(a.liczba, b.liczba);
        EXPECT_EQ(a.odleglosc, b.odleglosc);
        EXPECT_EQ(a.kierunek, b.kierunek);
        EXPECT_EQ(a.okres, b.okres);
        const lightning next = lightning_at(50.0614, 19.9366, 25, t + 600);
        changed += next.liczba != a.liczba || next.okres != a.okres;
    }
    EXPECT_GT(changed, 5);
}

TEST(Lightning, ValuesStayInTheirRanges) {
    int zero = 0;
    int handful = 0;
    int hundreds = 0;
    for (int i = 0; i < 3000; ++i) {
        const double y = 49.1 + (i % 50) * 0.1;
        const double x = 14.2 + (i / 50) * 0.15;
        const int promien = 5 + i % 96;
        const lightning l = lightning_at(y, x, promien, july + (i % 7) * 600);
        ASSERT_GE(l.liczba, 0);
        ASSERT_LE(l.liczba, 450);
        ASSERT_TRUE(l.okres == 10 || l.okres == 15);
        if (l.liczba == 0) {
            ++zero;
            EXPECT_EQ(l.kierunek, "");
            continue;
        }
        handful += l.liczba < 10;
        hundreds += l.liczba >= 100;
        EXPECT_EQ(compass_codes.count(l.kierunek), 1u) << l.kierunek;
        EXPECT_GE(l.odleglosc, 0.1);
        EXPECT_LE(l.odleglosc, promien);
        EXPECT_NEAR(l.odleglosc * 10, std::round(l.odleglosc * 10), 1e-6);
    }
    // Often nothing, sometimes a handful, rarely hundreds.
    EXPECT_GT(zero, 1500);
    EXPECT_GT(handful, 100);
    EXPECT_GT(hundreds, 0);
    EXPECT_LT(hundreds, handful);
}

TEST(Lightning, NoRadiusNoStrikes) {
    for (int w = 0; w < 50; ++w) {
        EXPECT_EQ(lightning_at(50.06, 19.94, 0, july + w * 600).liczba, 0);
    }
}

TEST(Warnings, AreMostlyNoneAndFollowTheSeason) {
    int none = 0;
    int summer_frost = 0;
    int winter_heat = 0;
    int any_summer = 0;
    for (int i = 0; i < 2000; ++i) {
        const double y = 49.1 + (i % 40) * 0.13;
        const double x = 14.2 + (i / 40) * 0.2;
        const warning_levels summer = warnings_at(y, x, july + (i % 3) * 21600);
        const warning_levels winter = warnings_at(y, x, january + (i % 3) * 21600);
        for (int level : summer) {
            ASSERT_GE(level, 0);
            ASSERT_LE(level, 3);
        }
        none += std::all_of(summer.begin(), summer.end(), [](int l) { return l == 0; });
        any_summer += summer[4] > 0 || summer[1] > 0;
        summer_frost += summer[0] > 0;
        winter_heat += winter[1] > 0;
        EXPECT_EQ(winter[5], 0); // no tornado in January
    }
    EXPECT_GT(none, 1000);
    EXPECT_GT(any_summer, 0);
    EXPECT_EQ(summer_frost, 0);
    EXPECT_EQ(winter_heat, 0);
}

TEST(Warnings, AreTheSameForTheSamePointAndTime) {
    for (int i = 0; i < 30; ++i) {
        const std::time_t t = july + i * 7000;
        EXPECT_EQ(warnings_at(50.0614, 19.9366, t), warnings_at(50.0614014, 19.9365997, t));
    }
}

TEST(CompassName, NamesTheEightCodes) {
    EXPECT_EQ(compass_name("NE"), "północny wschód");
    EXPECT_EQ(compass_name("S"), "południe");
    EXPECT_EQ(compass_name("ne"), "");
    for (const std::string& code : compass_codes) {
        EXPECT_NE(compass_name(code), "") << code;
    }
}

} // namespace

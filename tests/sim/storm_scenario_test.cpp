// The scripted storms: where the strikes are, minute by minute, for the town it is played at and
// for other places.
#include "simulator.h"
#include "storm_scenario.h"

#include <gtest/gtest.h>

namespace {

const storm_scenario approach{"approach", 50.0614, 19.9366}; // Kraków
const double krakow[2] = {50.0614, 19.9366};

TEST(StormScenario, ApproachComesFromTheSouthWestPassesOverAndDiesOut) {
    struct row {
        double minute;
        double nearest_low, nearest_high;
        const char* direction;
    };
    const row rows[] = {
        {0, 80, 82, "SW"}, {30, 50.5, 53, "SW"}, {60, 21, 24, "SW"},
        {88, 0.2, 2, ""},  {120, 25, 29, "NE"},  {140, 44.5, 47.5, "NE"},
    };
    for (const row& r : rows) {
        const std::optional<lightning> strikes =
            scenario_lightning(approach, krakow[0], krakow[1], 100, r.minute);
        ASSERT_TRUE(strikes);
        EXPECT_GT(strikes->liczba, 0) << r.minute;
        EXPECT_GE(strikes->odleglosc, r.nearest_low) << r.minute;
        EXPECT_LE(strikes->odleglosc, r.nearest_high) << r.minute;
        if (*r.direction != '\0') {
            EXPECT_EQ(strikes->kierunek, r.direction) << r.minute;
        }
        const std::optional<lightning> again =
            scenario_lightning(approach, krakow[0], krakow[1], 100, r.minute);
        EXPECT_EQ(again->liczba, strikes->liczba);
        EXPECT_EQ(again->odleglosc, strikes->odleglosc);
    }
    // Outside a 30 km circle at first; gone everywhere once it has died out; never far away.
    EXPECT_EQ(scenario_lightning(approach, krakow[0], krakow[1], 30, 0)->liczba, 0);
    EXPECT_EQ(scenario_lightning(approach, krakow[0], krakow[1], 100, 151)->liczba, 0);
    for (double minute = 0; minute < 160; minute += 5) {
        EXPECT_EQ(scenario_lightning(approach, 54.352, 18.6466, 100, minute)->liczba, 0);
    }
}

TEST(StormScenario, QuietHasNoStrikesAndNoneLeavesTheGeneratorsAlone) {
    const storm_scenario quiet{"quiet", krakow[0], krakow[1]};
    for (double minute = 0; minute < 200; minute += 7) {
        EXPECT_EQ(scenario_lightning(quiet, krakow[0], krakow[1], 100, minute)->liczba, 0);
    }
    EXPECT_FALSE(scenario_lightning(storm_scenario{}, krakow[0], krakow[1], 100, 60));
    EXPECT_EQ(scenario_storm_warning(approach, krakow[0], krakow[1], 60), 2);
    EXPECT_EQ(scenario_storm_warning(approach, krakow[0], krakow[1], 200), 0);

    for (const auto& [storm, town] :
         {std::pair<const char*, const char*>{"tornado", "Kraków"}, {"approach", "Nibylandia"}}) {
        sim_options options = default_sim_options();
        options.storm = storm;
        options.storm_town = town;
        std::string error;
        EXPECT_FALSE(start_simulator(options, error));
        EXPECT_NE(error.find("unknown storm"), std::string::npos) << error;
    }
}

} // namespace

// The scripted storms: where the strikes are, minute by minute, for the town it is played at and
// for other places.
#include "approach/approach.h"
#include "simulator.h"
#include "storm_scenario.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

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

// The approach estimate over the scripted storms, checked every 5 simulated minutes (at four
// phases of the script), against their true motion.
struct estimate_run {
    double worst_speed_error = 0; // relative, once 4 points are in
    double worst_eta_error = 0;
    int estimates = 0;
    int coming = 0; // estimates that said the storm comes within 10 km
    int nulls_at_jumps = 0;
    int jumps = 0;
};

estimate_run run_estimates(const std::string& name, double phase, int radius) {
    const storm_scenario scenario{name, krakow[0], krakow[1]};
    std::vector<observation> track;
    estimate_run run;
    std::string last_direction;
    for (double minute = phase; minute < 150; minute += 5) {
        const std::optional<lightning> strikes =
            scenario_lightning(scenario, krakow[0], krakow[1], radius, minute);
        observation seen{minute * 60, strikes->liczba, std::nullopt, ""};
        if (strikes->liczba > 0) {
            seen.nearest_km = strikes->odleglosc;
            seen.direction = strikes->kierunek;
        }
        track.push_back(seen);
        const std::optional<approach_estimate> estimate = estimate_approach(track, 10);
        const std::optional<double> from = compass_bearing(last_direction);
        const std::optional<double> to = compass_bearing(seen.direction);
        const bool jumped = from && to && std::fabs(std::remainder(*to - *from, 360)) > 45;
        last_direction = seen.direction;
        if (jumped) {
            ++run.jumps;
            run.nulls_at_jumps += !estimate;
        }
        if (!estimate) {
            continue;
        }
        ++run.estimates;
        run.coming += comes_within_ring(estimate);
        const std::optional<scenario_motion> truth = scenario_truth(scenario, minute, 10);
        // Within two checks of the ring the scatter of the nearest strike outweighs the time left.
        if (!truth || estimate->points < 4 || !truth->minutes_to_ring ||
            *truth->minutes_to_ring < 10) {
            continue;
        }
        run.worst_speed_error =
            std::max(run.worst_speed_error,
                     std::fabs(estimate->radial_kmh - truth->radial_kmh) / truth->radial_kmh);
        if (estimate->eta_min) {
            run.worst_eta_error = std::max(run.worst_eta_error,
                                           std::fabs(*estimate->eta_min - *truth->minutes_to_ring) /
                                               *truth->minutes_to_ring);
        } else {
            run.worst_eta_error = 1; // an arrival the estimate did not see
        }
    }
    return run;
}

TEST(StormScenario, ApproachEstimateFollowsTheScriptedStorms) {
    for (const double phase : {0.0, 1.0, 2.5, 4.0}) {
        const estimate_run approach = run_estimates("approach", phase, 50);
        EXPECT_GT(approach.estimates, 3) << phase;
        EXPECT_LE(approach.worst_speed_error, 0.25) << phase;
        EXPECT_LE(approach.worst_eta_error, 0.25) << phase;
        std::printf("approach phase %.1f: speed error %.0f %%, arrival error %.0f %%\n", phase,
                    100 * approach.worst_speed_error, 100 * approach.worst_eta_error);
        // The passing storm never says it comes within the ring.
        const estimate_run pass = run_estimates("pass", phase, 30);
        EXPECT_GT(pass.estimates, 3) << phase;
        EXPECT_EQ(pass.coming, 0) << phase;
        // Two cells: no estimate where the nearest strike jumps to the other side.
        const estimate_run cells = run_estimates("cells", phase, 30);
        EXPECT_GT(cells.jumps, 3) << phase;
        EXPECT_EQ(cells.nulls_at_jumps, cells.jumps) << phase;
        std::printf("pass phase %.1f: %d estimates, %d coming; cells: %d jumps, %d estimates\n",
                    phase, pass.estimates, pass.coming, cells.jumps, cells.estimates);
    }
}

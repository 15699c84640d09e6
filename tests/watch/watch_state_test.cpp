// The watch's rules over tables of checks: each row is a check (its time, its strikes and the
// nearest distance) and the event and trend it must give.
#include "report/report.h"
#include "watch/watch_output.h"
#include "watch/watch_state.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using E = watch_event;
using T = watch_trend;

struct row {
    double minute;
    int strikes; // -1: the lightning answer was not had
    double nearest_km;
    E event;
    T trend;
    bool coming = true;   // the estimate says the strikes come within the ring
    double due_min = -2;  // when the all-clear is due after the check; -1: none; -2: not checked
    double beyond_km = 0; // above 0: the nearest strike lies that far, beyond the radius
};

// Rules in minutes: all-clear after 30, cool-down 15; the safety ring at its smallest (1 km)
// unless the table is about it.
void play(const std::vector<row>& rows, double clear_after_min = 30, double cooldown_min = 15,
          double danger_km = 1, bool approaching_only = false) {
    watch_rules rules;
    rules.clear_after_s = clear_after_min * 60;
    rules.cooldown_s = cooldown_min * 60;
    rules.danger_km = danger_km;
    rules.approaching_only = approaching_only;
    watch_state state;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const row& r = rows[i];
        watch_check check;
        check.known = r.strikes >= 0;
        check.strikes = std::max(r.strikes, 0);
        if (r.strikes > 0 && r.beyond_km > 0) {
            check.beyond_km = r.beyond_km;
        } else if (r.strikes > 0) {
            check.nearest_km = r.nearest_km;
            check.direction = "SW";
        }
        const watch_step step = next_watch_step(state, check, r.minute * 60, rules, r.coming);
        EXPECT_EQ(event_id(step.event), std::string(event_id(r.event))) << "row " << i;
        EXPECT_EQ(static_cast<int>(step.trend), static_cast<int>(r.trend)) << "row " << i;
        state = step.state;
        if (r.due_min > -2) {
            EXPECT_EQ(all_clear_due(state, rules).value_or(-60) / 60, r.due_min) << "row " << i;
        }
    }
}

TEST(WatchRules, StormThenCloserThenAllClear) {
    play({
        {0, 0, 0, E::none, T::none},
        {5, 4, 40, E::storm, T::none},
        {10, 6, 37.5, E::none, T::approaching},   // 2.5 km closer: not enough
        {15, 9, 34.5, E::closer, T::approaching}, // 3 km closer than the last check
        {35, 9, 40, E::none, T::receding},
        {40, 9, 36.5, E::none, T::receding}, // 3.5 km closer, but 34.5 was closer
        {45, 0, 0, E::none, T::none},
        {69, 0, 0, E::none, T::none},  // 29 min after the last strikes
        {70, -1, 0, E::none, T::none}, // no answer: nothing changes
        {71, 0, 0, E::all_clear, T::none},
        {80, 0, 0, E::none, T::none}, // no second all-clear
    });
}

TEST(WatchRules, CooldownHoldsRepeatsExceptCloserBelowTenKilometres) {
    play({
        {0, 5, 30, E::storm, T::none},
        {5, 5, 26, E::closer, T::approaching},
        {10, 5, 22, E::none, T::approaching}, // held: 5 min after the last blizej
        {15, 5, 18, E::none, T::approaching},
        {20, 5, 14, E::closer, T::approaching},  // 15 min after: raised again
        {22, 5, 9.5, E::closer, T::approaching}, // below 10 km: never held
        {24, 5, 6, E::closer, T::approaching},
        {26, 0, 0, E::none, T::none},
        {28, 5, 20, E::storm, T::none}, // 28 min after the last burza
    });
}

TEST(WatchRules, BurzaHeldByTheCooldownKeepsTheStormsClosest) {
    play({
        {0, 3, 10, E::storm, T::none},
        {5, 0, 0, E::none, T::none},
        {10, 3, 25, E::none, T::none}, // held: 10 min after the last burza
        {15, 0, 0, E::none, T::none},
        {20, 3, 24, E::storm, T::none},
        {25, 3, 20, E::closer, T::approaching}, // the closest since this burza, not since 0
    });
}

TEST(WatchRules, SafetyRingOnceAStormUnlessLeftForLongerThanTheCooldown) {
    play(
        {
            {0, 5, 25, E::storm, T::none},
            {5, 5, 14, E::closer, T::approaching},
            {10, 5, 9.5, E::within_ring, T::approaching}, // within 10 km: before blizej
            {15, 5, 4, E::closer, T::approaching},        // in the ring still: no second blisko
            {20, 5, 12, E::none, T::receding},            // left the ring
            {25, 5, 8, E::none, T::receding},             // back after 5 min: held
            {30, 5, 15, E::none, T::receding},            // left again at 30
            {50, 5, 7, E::within_ring, T::steady},        // back after 20 min: raised again
            {55, 0, 0, E::none, T::none},
            {90, 0, 0, E::all_clear, T::none},
            {95, 5, 6, E::within_ring, T::none}, // a new storm: in the ring at once
        },
        30, 15, 10);
}

TEST(WatchRules, ApproachingOnlyHoldsBurzaAndBlizejUntilTheStormComes) {
    play(
        {
            {0, 5, 28, E::none, T::none, false},               // no estimate yet: held
            {5, 5, 24, E::none, T::approaching, false},        // passing by: held
            {10, 5, 20, E::storm, T::approaching, true},       // coming: the held burza
            {15, 5, 16, E::closer, T::approaching, true},      //
            {20, 5, 12, E::none, T::approaching, false},       // passing by after all
            {25, 5, 9, E::within_ring, T::approaching, false}, // the ring is never held back
            {30, 0, 0, E::none, T::none},                      //
            {65, 0, 0, E::all_clear, T::none},                 //
            {70, 5, 20, E::none, T::none, false},              // a new storm moving away: held
        },
        30, 15, 10, true);
}

TEST(WatchRules, AllClearWaitsForItsCooldown) {
    play(
        {
            {0, 3, 12, E::storm, T::none},
            {1, 0, 0, E::none, T::none},
            {3, 0, 0, E::all_clear, T::none}, // clear after 2 min
            {4, 3, 30, E::none, T::none},     // burza held: cool-down 5 min
            {5, 0, 0, E::none, T::none},
            {7, 0, 0, E::none, T::none}, // all-clear held: 4 min after the last
            {8, 0, 0, E::all_clear, T::none},
            {9, 3, 30, E::storm, T::none},
            {10, 3, 26, E::closer, T::approaching},
        },
        2, 5);
}

// The all-clear falls due 30 minutes after the last strike within the 10 km ring, whatever
// goes on outside it; the watch checks at that moment. A check without an answer holds it.
TEST(WatchRules, AllClearComesHalfAnHourAfterTheLastStrikeInTheRing) {
    play(
        {
            {0, 5, 20, E::storm, T::none, true, 30},
            {5, 5, 8, E::within_ring, T::approaching, true, 35},
            {10, 5, 20, E::none, T::steady, true, 35},
            {34, 5, 25, E::none, T::receding, true, 35},
            {35, 5, 25, E::all_clear, T::receding, true, -1}, // outside the ring still
            {40, 5, 26, E::none, T::steady, true, -1},        // the same storm: no burza
            {45, 0, 0, E::none, T::none, true, -1},
            {80, 0, 0, E::none, T::none, true, -1}, // no second all-clear
            {85, 5, 20, E::storm, T::none, true, 115},
            {90, 5, 9, E::within_ring, T::approaching, true, 120},
            {95, 0, 0, E::none, T::none, true, 120},
            {120, -1, 0, E::none, T::none, true, -1}, // due, but not known
            {121, 0, 0, E::all_clear, T::none, true, -1},
        },
        30, 15, 10);
}

// With no time to wait, the all-clear comes at the first check without strikes where it looks
// (the ring once the storm reached it), never at one that still sees them there.
TEST(WatchRules, ClearAfterZeroWaitsForTheFirstCheckWithoutStrikes) {
    play(
        {
            {0, 5, 28, E::storm, T::none, true, -1}, // a storm coming at 4 km a check
            {1, 5, 24, E::closer, T::approaching, true, -1},
            {2, 5, 20, E::closer, T::approaching, true, -1},
            {3, 5, 16, E::closer, T::approaching, true, -1},
            {4, 5, 12, E::closer, T::approaching, true, -1},
            {5, 5, 8, E::within_ring, T::approaching, true, -1},
            {6, 5, 8, E::none, T::approaching, true, -1}, // in the ring still
            {7, 5, 12, E::all_clear, T::receding, true, -1},
            {8, 5, 15, E::none, T::receding, true, -1},
            {9, 5, 11.5, E::closer, T::steady, true, -1}, // coming again: told again
            {10, 0, 0, E::all_clear, T::none, true, -1},
            {11, 5, 20, E::storm, T::none, true, -1},
        },
        0, 0, 10);
}

// The nearest strike placed beyond the 30 km radius ("?"): the storm was at least that far.
TEST(WatchRules, ANearestStrikeBeyondTheRadiusMakesLaterOnesCloser) {
    for (const double clear_after_min : {0.0, 30.0}) {
        SCOPED_TRACE(clear_after_min);
        const bool at_once = clear_after_min == 0;
        play(
            {
                {0, 0, 0, E::none, T::none, true, -1},
                {1, 5, 0, E::storm, T::none, true, at_once ? -1.0 : 31.0, 40.5},
                {2, 9, 20.2, E::closer, T::approaching, true, at_once ? -1.0 : 32.0},
                {3, 9, 20.2, E::none, T::approaching, true, at_once ? -1.0 : 33.0},
                {4, 0, 0, at_once ? E::all_clear : E::none, T::none, true, at_once ? -1.0 : 33.0},
                {33, 0, 0, at_once ? E::none : E::all_clear, T::none, true, -1},
                {34, 9, 20.2, E::storm, T::none, true, at_once ? -1.0 : 64.0},
            },
            clear_after_min, 15, 10);
    }
}

TEST(WatchRules, TrendComparesTheNewestWithTheOldestOfThree) {
    const std::vector<std::pair<std::vector<double>, T>> cases = {
        {{}, T::none},
        {{20}, T::none},
        {{20, 18}, T::approaching},
        {{20, 18.5}, T::steady},
        {{10, 14, 12}, T::receding},
        {{30, 10, 14, 12}, T::receding}, // only the last three count
        {{12, 20, 13}, T::steady},
    };
    for (const auto& [distances, trend] : cases) {
        EXPECT_EQ(static_cast<int>(distance_trend(distances)), static_cast<int>(trend))
            << distances.size();
    }
}

TEST(WatchOutput, EventLinesEnvironmentAndWaits) {
    event_facts facts;
    facts.town = "Kraków";
    facts.where = "miejscowości Kraków";
    facts.radius_km = 30;
    facts.check = {true, 12, 8.24, "SW"};
    facts.previous_km = 12.5;
    facts.clear_after_min = 30;
    EXPECT_EQ(event_line(E::storm, facts),
              "*** BURZA: wyładowania w promieniu 30 km od miejscowości Kraków, najbliższe 8.2 km "
              "SW ***");
    EXPECT_EQ(event_line(E::closer, facts),
              "*** BLIŻEJ: najbliższe 8.2 km SW (wcześniej 12.5 km) ***");
    EXPECT_EQ(event_line(E::all_clear, facts),
              "*** SPOKÓJ: od 30 min brak wyładowań w promieniu 30 km od miejscowości Kraków ***");
    const std::vector<std::string> environment = {
        "NIMBROVATOR_EVENT=blizej", "NIMBROVATOR_TOWN=Kraków",     "NIMBROVATOR_RADIUS_KM=30",
        "NIMBROVATOR_STRIKES=12",   "NIMBROVATOR_DISTANCE_KM=8.2", "NIMBROVATOR_DIRECTION=SW",
        "NIMBROVATOR_ETA_MIN=",     "NIMBROVATOR_APPROACH_KMH=",   "NIMBROVATOR_PLACE="};
    EXPECT_EQ(event_environment(E::closer, facts), environment);
    // A place of the configuration file: by its name, its town or its coordinates beside it.
    run_report place;
    place.place = "Dom";
    place.town = {"Dom", "50.0614,19.9366", "50.0614", "19.9366", 50.0614, 19.9366, false};
    event_facts at_place = facts;
    at_place.place = place.place;
    at_place.where = place_reference(place);
    EXPECT_EQ(event_line(E::all_clear, at_place),
              "*** SPOKÓJ: od 30 min brak wyładowań w promieniu 30 km od miejsca Dom (50.0614, "
              "19.9366) ***");
    EXPECT_EQ(event_environment(E::storm, at_place).back(), "NIMBROVATOR_PLACE=Dom");
    place.place = "Działka";
    place.town.name = "Nowy Sącz";
    EXPECT_EQ(place_reference(place), "miejsca Działka (Nowy Sącz)");
    // With an estimate: in the texts and the environment.
    approach_estimate estimate;
    estimate.radial_kmh = 36.4;
    estimate.eta_min = 7.6;
    facts.approach = estimate;
    facts.danger_km = 5;
    facts.check.nearest_km = 4.9;
    EXPECT_EQ(event_line(E::within_ring, facts),
              "*** BLISKO: burza w promieniu 5 km: schroń się; najbliższe 4.9 km SW; zbliża się 36 "
              "km/h, w strefie 5 km za ~8 min ***");
    EXPECT_STREQ(event_title(E::within_ring), "Burza blisko: schroń się");
    facts.storm_reached_ring = true; // strikes may go on beyond the ring
    EXPECT_EQ(event_line(E::all_clear, facts),
              "*** SPOKÓJ: od 30 min brak wyładowań w promieniu 5 km od miejscowości Kraków ***");
    const std::vector<std::string> with_estimate = event_environment(E::within_ring, facts);
    EXPECT_EQ(with_estimate.front(), "NIMBROVATOR_EVENT=blisko");
    EXPECT_EQ(with_estimate[6], "NIMBROVATOR_ETA_MIN=8");
    EXPECT_EQ(with_estimate[7], "NIMBROVATOR_APPROACH_KMH=36");
    // Whole numbers as the line shows them: no "-0", and an arrival under a minute is ~1 min.
    facts.approach = approach_estimate{-0.4, 0.3, 4, "", 3};
    const std::vector<std::string> standing = event_environment(E::within_ring, facts);
    EXPECT_EQ(standing[6], "NIMBROVATOR_ETA_MIN=1");
    EXPECT_EQ(standing[7], "NIMBROVATOR_APPROACH_KMH=0");
    facts.approach = approach_estimate{-15.4, std::nullopt, 9, "N", 3};
    EXPECT_EQ(event_environment(E::closer, facts)[7], "NIMBROVATOR_APPROACH_KMH=-15");
    EXPECT_EQ(check_line("Kraków: ...", T::approaching, "zbliża się 36 km/h"),
              "Kraków: ... | zbliża się 36 km/h");
    EXPECT_EQ(wait_text(1.2), "1.2 s");
    EXPECT_EQ(wait_text(40), "40 s");
    EXPECT_EQ(wait_text(150), "2.5 min");
    EXPECT_EQ(wait_text(1200), "20 min");
    EXPECT_EQ(check_line("Kraków: ...", T::receding), "Kraków: ... | oddala się");
}

} // namespace

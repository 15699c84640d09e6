// The approach estimate over tables of tracks: a check every 5 minutes unless the row says.
#include "approach/approach.h"
#include "approach/place_track.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct point {
    double minute;
    double km; // below 0: no strikes
    const char* direction;
};

std::vector<observation> track_of(const std::vector<point>& points) {
    std::vector<observation> track;
    for (const point& p : points) {
        observation seen{p.minute * 60, p.km < 0 ? 0 : 25, std::nullopt, ""};
        if (p.km >= 0) {
            seen.nearest_km = p.km;
            seen.direction = p.direction;
        }
        track.push_back(seen);
    }
    return track;
}

TEST(Approach, EstimatesOverTablesOfTracks) {
    struct row {
        const char* name;
        std::vector<point> track;
        bool estimate;
        double radial_kmh; // within 10 %
        double eta_min;    // below 0: none; within 1 minute
        const char* moving_to;
        int points;
    };
    const row rows[] = {
        // 2 km closer every 5 minutes: 24 km/h, 20 km from the 10 km ring: 25 min.
        {"straight approach",
         {{0, 36, "SW"}, {5, 34, "SW"}, {10, 32, "SW"}, {15, 30, "SW"}},
         true,
         24,
         50,
         "NE",
         4},
        {"inside the ring", {{0, 16, "W"}, {5, 12, "W"}, {10, 8, "W"}}, true, 48, 0, "E", 3},
        {"receding",
         {{0, 10, "N"}, {5, 13, "N"}, {10, 16, "NE"}, {15, 19, "NE"}},
         true,
         -36,
         -1,
         "",
         4},
        // Turning from NW through N to NE at 20 km: passing, not coming within 10 km.
        {"passing by",
         {{0, 22, "NW"}, {5, 20.5, "N"}, {10, 20, "N"}, {15, 20.4, "NE"}},
         true,
         6,
         -1,
         "SE",
         4},
        {"a jump to the far side",
         {{0, 30, "S"}, {5, 27, "S"}, {10, 24, "S"}, {15, 22, "N"}},
         false,
         0,
         -1,
         "",
         0},
        {"two cells taking turns",
         {{0, 20, "N"}, {5, 21, "S"}, {10, 20.5, "N"}, {15, 21.2, "S"}, {20, 20.2, "N"}},
         false,
         0,
         -1,
         "",
         0},
        {"a jump to another cell",
         {{0, 40, "W"}, {5, 38, "W"}, {10, 36, "W"}, {15, 12, "W"}},
         false,
         0,
         -1,
         "",
         0},
        {"too few points", {{0, 30, "SW"}, {5, 27, "SW"}}, false, 0, -1, "", 0},
        {"a quiet check breaks the track",
         {{0, 30, "SW"}, {5, 27, "SW"}, {10, -1, ""}, {15, 20, "SW"}, {20, 17, "SW"}},
         false,
         0,
         -1,
         "",
         0},
        {"older than half an hour",
         {{0, 30, "SW"}, {5, 28, "SW"}, {40, 20, "SW"}, {45, 18, "SW"}},
         false,
         0,
         -1,
         "",
         0},
        {"scattered",
         {{0, 30, "SW"}, {5, 22, "SW"}, {10, 31, "SW"}, {15, 23, "SW"}},
         false,
         0,
         -1,
         "",
         0},
        {"unknown direction", {{0, 30, "X"}, {5, 28, "X"}, {10, 26, "X"}}, false, 0, -1, "", 0},
        // Polls of one service reading count once, dated by the first; too short or too fast.
        {"readings polled twice",
         {{0, 36, "SW"}, {1, 36, "SW"}, {5, 34, "SW"}, {6, 34, "SW"}, {10, 32, "SW"}},
         true,
         24,
         55,
         "NE",
         3},
        {"2 readings", {{0, 30, "SW"}, {1, 30, "SW"}, {6, 28, "SW"}}, false, 0, -1, "", 0},
        {"2 minutes", {{0, 30, "SW"}, {1, 29, "SW"}, {2, 28, "SW"}}, false, 0, -1, "", 0},
        {"160 km/h", {{0, 40, "SW"}, {2.5, 33.3, "SW"}, {5, 26.6, "SW"}}, false, 0, -1, "", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::optional<approach_estimate> estimate = estimate_approach(track_of(r.track), 10);
        ASSERT_EQ(estimate.has_value(), r.estimate);
        if (!estimate) {
            EXPECT_EQ(approach_text(estimate, 10), "");
            continue;
        }
        EXPECT_NEAR(estimate->radial_kmh, r.radial_kmh,
                    std::max(2.0, std::fabs(r.radial_kmh) / 10));
        EXPECT_EQ(estimate->eta_min.has_value(), r.eta_min >= 0);
        if (estimate->eta_min) {
            EXPECT_NEAR(*estimate->eta_min, r.eta_min, 1);
            EXPECT_LE(estimate->closest_km, 10);
        } else {
            EXPECT_GT(estimate->closest_km, 10);
        }
        if (*r.moving_to != '\0') {
            EXPECT_EQ(estimate->moving_to, r.moving_to);
        }
        EXPECT_EQ(estimate->points, r.points);
        EXPECT_EQ(comes_within_ring(estimate), r.eta_min >= 0);
    }
}

TEST(Approach, TextsOfEstimates) {
    approach_estimate coming;
    coming.radial_kmh = 24.4;
    coming.eta_min = 12.3;
    coming.closest_km = 2;
    approach_estimate inside = coming;
    inside.eta_min = 0;
    approach_estimate passing;
    passing.radial_kmh = 18;
    passing.closest_km = 14.4;
    approach_estimate away;
    away.radial_kmh = -15.2;
    away.closest_km = 20;
    approach_estimate standing;
    standing.radial_kmh = 0.4;
    EXPECT_EQ(approach_text(coming, 10), "zbliża się 24 km/h, w strefie 10 km za ~12 min");
    EXPECT_EQ(approach_text(inside, 10), "zbliża się 24 km/h, w strefie 10 km");
    EXPECT_EQ(approach_text(passing, 10), "zbliża się 18 km/h, minie w odległości ~14 km");
    EXPECT_EQ(approach_text(away, 5), "oddala się 15 km/h");
    EXPECT_EQ(approach_text(standing, 10), "stoi w miejscu");
}

// The estimates along a history, made in one pass, equal those made from each row's own track.
TEST(Approach, EstimatesAlongEqualEachRowsOwn) {
    const struct {
        double poll_s;          // a row this often, for each radius
        double reading_s;       // the service's reading changes this often
        std::vector<int> radii; // the storm comes closer at 30 km/h, pausing at 40 minutes
    } histories[] = {{120, 120, {25, 50}}, {20, 300, {30}}};
    for (const auto& h : histories) {
        std::vector<track_row> rows;
        for (double t = 0; t < 80 * 60; t += h.poll_s) {
            const double km = 45 - 30 * std::floor(t / h.reading_s) * h.reading_s / 3600;
            for (const int radius : h.radii) {
                const bool quiet = t > 40 * 60 && t < 42 * 60;
                rows.push_back({"", 0, 0, radius, 1.78e9 + t, quiet ? 0 : 40,
                                quiet ? std::nullopt : std::optional<double>(km),
                                t < 20 * 60 ? "W" : "SW", ""});
            }
        }
        const auto along = estimates_along(rows, 10);
        int estimated = 0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            std::vector<observation> own;
            for (std::size_t j = 0; j <= i; ++j) {
                if (rows[j].radius_km == rows[i].radius_km &&
                    rows[i].time_s - rows[j].time_s <= 30 * 60) {
                    own.push_back(observation_of(rows[j]));
                }
            }
            const auto expected = estimate_approach(own, 10);
            ASSERT_EQ(along.at(i).has_value(), expected.has_value()) << i;
            estimated += expected.has_value();
            EXPECT_TRUE(!expected || (along[i]->radial_kmh == expected->radial_kmh &&
                                      along[i]->eta_min == expected->eta_min &&
                                      along[i]->points == expected->points))
                << i;
        }
        EXPECT_GT(estimated, 10); // the tracks give estimates, not only their absence
    }
}

} // namespace

namespace {

TEST(Approach, SafeAgainThirtyMinutesAfterTheLastStrikeInTheRing) {
    const struct {
        const char* name;
        std::vector<point> points;
        double now_minute;
        std::optional<double> safe_minute; // nothing: safe now
        long minutes_left;
    } cases[] = {
        {"no strikes", {{0, -1, ""}, {5, -1, ""}}, 5, std::nullopt, 0},
        {"strikes outside the ring only", {{0, 20, "N"}, {5, 12, "N"}}, 5, std::nullopt, 0},
        {"one strike in the ring", {{0, 20, "N"}, {5, 8, "N"}, {10, -1, ""}}, 10, 35, 25},
        {"each new strike restarts it", {{0, 8, "N"}, {5, 3, "N"}, {10, 9.5, "NE"}}, 12, 40, 28},
        {"on the ring's edge counts", {{0, 10, "N"}}, 1, 30, 29},
        {"thirty minutes passed", {{0, 5, "N"}, {10, 25, "S"}, {30, -1, ""}}, 30, std::nullopt, 0},
        {"a later row is not yet seen", {{0, 5, "N"}, {40, 5, "N"}}, 31, std::nullopt, 0},
        {"part of a minute rounds up", {{0, 5, "N"}}, 0.5, 30, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<double> safe = safe_at(track_of(c.points), 10, 1800, c.now_minute * 60);
        ASSERT_EQ(safe.has_value(), c.safe_minute.has_value());
        if (safe) {
            EXPECT_DOUBLE_EQ(*safe, *c.safe_minute * 60);
            EXPECT_EQ(minutes_until_safe(*safe, c.now_minute * 60), c.minutes_left);
        }
    }
}

} // namespace

namespace {

// A place that moves, under a storm that moves: positions in km east and north of a start at
// 50° N 20° E, each function of the minute.
struct moving_case {
    const char* name;
    double (*place_east)(double minute);
    double (*place_north)(double minute);
    double (*storm_east)(double minute);
    double (*storm_north)(double minute);
    std::size_t kept;          // observations kept after the last jump
    std::optional<double> kmh; // the approach speed expected (±25 %); none: no estimate
    bool comes_within_ring;    // of 8 km
};

constexpr double km_per_degree_north = 110.574;
const double km_per_degree_east = 111.320 * std::cos(50 * pi / 180);

TEST(Approach, APlaceThatMovesKeepsItsTrackUntilItJumps) {
    const moving_case cases[] = {
        {"a walker walks away from a standing storm", [](double) { return 0.0; },
         [](double m) { return -5 * m / 60; }, [](double) { return 0.0; },
         [](double) { return 10.0; }, 7, -5, false},
        {"a storm crosses a walker's way", [](double m) { return 5 * m / 60; },
         [](double) { return 0.0; }, [](double) { return 1.0; },
         [](double m) { return 40 - 60 * m / 60; }, 7, 60, true},
        {"the place jumps 50 km south after 15 minutes", [](double) { return 0.0; },
         [](double m) { return m < 20 ? 0.0 : -50.0; }, [](double) { return 0.0; },
         [](double m) { return 30 - 30 * m / 60; }, 3, 30, true},
    };
    for (const moving_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<observation> seen;
        std::vector<place_at> where;
        for (double minute = 0; minute <= 30; minute += 5) {
            const double east = c.storm_east(minute) - c.place_east(minute);
            const double north = c.storm_north(minute) - c.place_north(minute);
            const double bearing = std::atan2(east, north) * 180 / pi;
            seen.push_back({minute * 60, 20, std::hypot(east, north),
                            compass_code(bearing < 0 ? bearing + 360 : bearing)});
            where.push_back({minute * 60, 50 + c.place_north(minute) / km_per_degree_north,
                             20 + c.place_east(minute) / km_per_degree_east});
        }
        const place_at now = where.back();
        where.pop_back(); // the check's own position: the track before it
        const std::size_t start = track_start_after_jumps(where, now);
        ASSERT_EQ(seen.size() - start, c.kept);
        const std::vector<observation> kept(seen.begin() + static_cast<long>(start), seen.end());
        const std::optional<approach_estimate> estimate = estimate_approach(kept, 8);
        ASSERT_EQ(estimate.has_value(), c.kmh.has_value());
        if (estimate) {
            EXPECT_NEAR(estimate->radial_kmh, *c.kmh, std::abs(*c.kmh) * 0.25);
            EXPECT_EQ(comes_within_ring(estimate), c.comes_within_ring);
            if (*c.kmh < 0) {
                EXPECT_NE(approach_text(estimate, 8).find("oddala się"), std::string::npos)
                    << approach_text(estimate, 8);
            }
        }
    }
}

} // namespace

// The track as checks write it: a run of quiet checks keeps its first and its last row, and
// anything else (strikes, an event, a place that moved, a repeated time) keeps every row.
#include "store/track.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A check at `time_s`: its strikes (a strike's distance with them), its event, the latitude.
struct check {
    double time_s;
    int strikes;
    std::string event;
    double latitude = 50.06;
};

track_row row_of(const check& seen) {
    track_row row{"Dom", seen.latitude, 19.94, 25, seen.time_s, seen.strikes, {}, "", seen.event};
    if (seen.strikes > 0) {
        row.nearest_km = 12.5;
        row.direction = "NE";
    }
    return row;
}

TEST(Track, QuietRunsKeepTheirEndsAndEverythingElseEveryRow) {
    struct Case {
        const char* name;
        std::vector<check> checks;
        std::vector<double> kept; // the rows' times read back
    };
    const std::vector<Case> cases = {
        {"a quiet run", {{0, 0, ""}, {60, 0, ""}, {120, 0, ""}, {180, 0, ""}}, {0, 180}},
        {"two quiet checks", {{0, 0, ""}, {60, 0, ""}}, {0, 60}},
        {"strikes break the run",
         {{0, 0, ""}, {60, 0, ""}, {120, 3, ""}, {180, 0, ""}, {240, 0, ""}, {300, 0, ""}},
         {0, 60, 120, 180, 300}},
        {"an event is kept",
         {{0, 0, ""}, {60, 0, ""}, {120, 0, "spokoj"}, {180, 0, ""}},
         {0, 60, 120, 180}},
        {"a place that moves keeps every row",
         {{0, 0, "", 50.0}, {60, 0, "", 50.1}, {120, 0, "", 50.2}, {180, 0, "", 50.3}},
         {0, 60, 120, 180}},
        {"a repeated time is one row",
         {{0, 0, ""}, {60, 0, ""}, {60, 0, ""}, {120, 0, ""}},
         {0, 120}},
        {"a row older than a week is gone", {{-700000, 2, ""}, {0, 0, ""}, {60, 0, ""}}, {0, 60}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string db = dir.path + "/track.db";
        for (const check& seen : c.checks) {
            ASSERT_TRUE(record_track_row(db, row_of(seen), seen.time_s));
        }
        std::vector<double> times;
        for (const track_row& row : read_track(db, "Dom", 25, -1e9)) {
            times.push_back(row.time_s);
        }
        EXPECT_EQ(times, c.kept);
    }
}

} // namespace

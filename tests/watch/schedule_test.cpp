// The watch's schedule over a table: the wait after each number of failures in a row, for a
// service on this machine and one that is not.
#include "watch/schedule.h"

#include <gtest/gtest.h>

TEST(WatchSchedule, BackOffDoublesToFourWaitsAndARemoteServiceStartsAtAMinute) {
    struct row {
        double every_s;
        bool remote;
        int failures;
        double service_s; // to the service's next request
        double check_s;   // to the next check (the storm service's failures)
    };
    const row rows[] = {
        {6, false, 0, 6, 6},      {6, false, 1, 6, 6},         {6, false, 2, 12, 12},
        {6, false, 3, 24, 24},    {6, false, 9, 24, 24},       {6, false, 40, 24, 24},
        {4, true, 0, 60, 4},      {4, true, 1, 60, 60},        {4, true, 2, 120, 120},
        {4, true, 3, 240, 240},   {4, true, 7, 240, 240},      {300, true, 0, 300, 300},
        {300, true, 2, 600, 600}, {300, false, 3, 1200, 1200},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.every_s << " s, remote " << r.remote << ", "
                                        << r.failures << " failures");
        EXPECT_DOUBLE_EQ(service_wait_s(r.every_s, r.remote, r.failures), r.service_s);
        EXPECT_DOUBLE_EQ(check_wait_s(r.every_s, r.remote, r.failures), r.check_s);
    }
}

TEST(WatchSchedule, ThePlacesOfAWatchSpreadEvenlyAcrossTheInterval) {
    struct row {
        std::size_t index;
        std::size_t count;
        double every_s;
        double offset_s;
    };
    const row rows[] = {
        {0, 1, 300, 0},     {0, 3, 300, 0}, {1, 3, 300, 100}, {2, 3, 300, 200},
        {49, 50, 300, 294}, {1, 2, 6, 3},   {0, 0, 300, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.index << " of " << r.count);
        EXPECT_DOUBLE_EQ(place_offset_s(r.index, r.count, r.every_s), r.offset_s);
    }
}

// A check that came late (the watch held up) leaves the place's later checks where they were.
TEST(WatchSchedule, TheNextCheckKeepsThePlacesPartOfTheInterval) {
    const struct {
        double due_s, now_s, wait_s, next_s;
    } rows[] = {
        {12, 12.1, 6, 18}, // on time
        {12, 15, 6, 18},   // 3 s late: still 6 s after its due time
        {12, 18, 6, 24},   // as late as the next: that one is skipped
        {12, 31, 6, 36},   // held up for three intervals
        {12, 13, 24, 36},  // a back-off of four intervals
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "due " << r.due_s << ", now " << r.now_s);
        EXPECT_DOUBLE_EQ(next_check_s(r.due_s, r.now_s, r.wait_s), r.next_s);
    }
}

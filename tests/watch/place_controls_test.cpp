// The rules of the commands over one sequence of messages: what each changes in the state, what
// is told and when the watch wakes; then which alerts a snooze silences.
#include "watch/place_controls.h"

#include <gtest/gtest.h>

namespace {

constexpr double wall_start = 1800000000; // 2027-01-15T08:00:00Z

TEST(PlaceControls, ASequenceOfCommands) {
    struct row {
        double at_s; // the watch's clock; the wall clock runs beside it
        std::string name, payload;
        bool retained, wake, told, changed;
        std::string snoozed_until; // in the state; empty: null
        bool approaching_only;
        std::string error_has; // in last_command_error; empty: null
    };
    const std::string until = "2027-01-15T08:30:40Z";
    const std::vector<row> rows = {
        {0, "check_now", "PRESS", false, true, false, true, "", false, ""},
        {10, "check_now", "PRESS", false, false, false, true, "", false, "za 20 s"},
        {30, "check_now", "PRESS", false, true, false, true, "", false, ""},
        {40, "snooze", "30", false, false, false, true, until, false, ""},
        {50, "snooze", "999", false, false, true, true, until, false, "snooze"},
        // Refused again within the minute: in the state, neither told nor published.
        {60, "snooze", "x", false, false, false, false, until, false, "podano „x”"},
        {110, "approaching_only", "ON", true, false, true, true, until, false, "retain"},
        {120, "approaching_only", "ON", false, false, false, true, until, true, ""},
        {140, "snooze", "0", false, false, false, true, "", true, ""},
    };
    place_controls controls;
    for (const row& r : rows) {
        const double wall_s = wall_start + r.at_s;
        const command_outcome outcome =
            apply_command(controls, parse_command(r.name, r.payload), r.retained, r.at_s, wall_s);
        controls = outcome.controls;
        EXPECT_EQ(outcome.wake, r.wake) << r.at_s;
        EXPECT_EQ(!outcome.tell.empty(), r.told) << r.at_s << " " << outcome.tell;
        EXPECT_EQ(outcome.changed, r.changed) << r.at_s;
        EXPECT_EQ(!outcome.note.empty(), r.error_has.empty()) << r.at_s; // taken: said
        const Json::Value state = controls_value(controls, false, wall_s);
        EXPECT_EQ(state["snoozed_until"].asString(), r.snoozed_until) << r.at_s;
        EXPECT_EQ(state["approaching_only"].asBool(), r.approaching_only) << r.at_s;
        const Json::Value& error = state["last_command_error"];
        EXPECT_EQ(error.isNull(), r.error_has.empty()) << r.at_s;
        EXPECT_NE(error.asString().find(r.error_has), std::string::npos) << error.asString();
        EXPECT_EQ(state["position_source"], "settings") << r.at_s;
    }
    // Moved by a command; a position from the place's topic goes over it, as the checks take it.
    controls = apply_command(controls, parse_command("location", "50.1,20.2"), false, 150,
                             wall_start + 150)
                   .controls;
    EXPECT_EQ(controls_value(controls, false, wall_start)["position_source"], "command");
    EXPECT_EQ(controls_value(controls, true, wall_start)["position_source"], "follow");
}

TEST(PlaceControls, ASnoozeSilencesAllAlertsButSpokojUntilItEnds) {
    place_controls controls;
    controls.snoozed_until_wall_s = wall_start + 600;
    EXPECT_TRUE(alerts_silenced(controls, watch_event::within_ring, wall_start));
    EXPECT_FALSE(alerts_silenced(controls, watch_event::within_ring, wall_start + 600));
    EXPECT_FALSE(alerts_silenced(controls, watch_event::all_clear, wall_start));
}

} // namespace

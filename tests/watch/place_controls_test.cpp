// The rules of the commands over one sequence of messages: what each changes, what is told and
// when the watch wakes; then which alerts a snooze silences.
#include "watch/place_controls.h"

#include <gtest/gtest.h>

namespace {

constexpr double wall_start = 1800000000; // 2027-01-15T08:00:00Z

TEST(PlaceControls, ASequenceOfCommands) {
    struct row {
        double at_s; // the watch's clock; the wall clock runs beside it
        std::string name;
        std::string payload;
        bool retained;
        bool wake;
        bool told;
        bool changed;
        std::string snoozed_until; // in the state; empty: null
        bool approaching_only;
        std::string position_source;
        std::string error_has; // in last_command_error; empty: null
    };
    const std::vector<row> rows = {
        {0, "check_now", "PRESS", false, true, false, true, "", false, "settings", ""},
        {10, "check_now", "PRESS", false, false, false, true, "", false, "settings", "za 20 s"},
        {30, "check_now", "PRESS", false, true, false, true, "", false, "settings", ""},
        {40, "snooze", "30", false, false, false, true, "2027-01-15T08:30:40Z", false, "settings",
         ""},
        {50, "snooze", "999", false, false, true, true, "2027-01-15T08:30:40Z", false, "settings",
         "snooze"},
        // A second refusal within the minute: in the state, not told, not published.
        {60, "snooze", "x", false, false, false, false, "2027-01-15T08:30:40Z", false, "settings",
         "podano „x”"},
        {70, "approaching_only", "ON", true, false, false, false, "2027-01-15T08:30:40Z", false,
         "settings", "retain"},
        {110, "approaching_only", "ON", true, false, true, true, "2027-01-15T08:30:40Z", false,
         "settings", "retain"},
        {120, "approaching_only", "ON", false, false, false, true, "2027-01-15T08:30:40Z", true,
         "settings", ""},
        {130, "location", "50.1,20.2", false, false, false, true, "2027-01-15T08:30:40Z", true,
         "command", ""},
        {140, "snooze", "0", false, false, false, true, "", true, "command", ""},
        {150, "approaching_only", "OFF", false, false, false, true, "", false, "command", ""},
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
        const Json::Value state = controls_value(controls, wall_s);
        EXPECT_EQ(state["snoozed_until"].asString(), r.snoozed_until) << r.at_s;
        EXPECT_EQ(state["approaching_only"].asBool(), r.approaching_only) << r.at_s;
        EXPECT_EQ(state["position_source"].asString(), r.position_source) << r.at_s;
        const Json::Value& error = state["last_command_error"];
        EXPECT_EQ(error.isNull(), r.error_has.empty()) << r.at_s;
        EXPECT_NE(error.asString().find(r.error_has), std::string::npos)
            << r.at_s << " " << error.asString();
    }
    ASSERT_TRUE(controls.moved_to);
    EXPECT_DOUBLE_EQ(controls.moved_to->latitude, 50.1);
}

TEST(PlaceControls, ASnoozeSilencesAllAlertsButSpokojUntilItEnds) {
    place_controls controls;
    controls.snoozed_until_wall_s = wall_start + 600;
    for (const watch_event event :
         {watch_event::storm, watch_event::closer, watch_event::within_ring}) {
        EXPECT_TRUE(alerts_silenced(controls, event, wall_start));
        EXPECT_FALSE(alerts_silenced(controls, event, wall_start + 600));
    }
    EXPECT_FALSE(alerts_silenced(controls, watch_event::all_clear, wall_start));
    EXPECT_TRUE(controls_value(controls, wall_start + 600)["snoozed_until"].isNull());
}

} // namespace

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
        bool retained, wake;
        std::string told; // in what standard error hears; empty: nothing
        bool changed;
        std::string snoozed_until; // in the state; empty: null
        bool approaching_only;
        std::string error_has; // in last_command_error; empty: null
    };
    const std::string until = "2027-01-15T08:30:40Z";
    const std::string taken = "Polecenie z MQTT:";
    const std::string refused = "Pominięto polecenie z MQTT:";
    const std::vector<row> rows = {
        {0, "check_now", "PRESS", false, true, taken, true, "", false, ""},
        {10, "check_now", "PRESS", false, false, "", true, "", false, "za 20 s"},
        // Taken, but told once a minute for each command.
        {30, "check_now", "PRESS", false, true, "", true, "", false, ""},
        {40, "snooze", "30", false, false, taken, true, until, false, ""},
        {50, "snooze", "999", false, false, refused, true, until, false, "snooze"},
        // Refused again within the minute: in the state, not told; the same refusal again
        // changes nothing.
        {60, "snooze", "x", false, false, "", true, until, false, "podano „x”"},
        {65, "snooze", "x", false, false, "", false, until, false, "podano „x”"},
        {110, "approaching_only", "ON", true, false, "pominięto podobnych: 2.", true, until, false,
         "retain"},
        {120, "approaching_only", "ON", false, false, taken, true, until, true, ""},
        {140, "snooze", "0", false, false, taken, true, "", true, ""},
        {150, "snooze", "5", false, false, "", true, "2027-01-15T08:07:30Z", true, ""},
        {200, "snooze", "0", false, false, "pominięto podobnych: 1.", true, "", true, ""},
    };
    place_controls controls;
    for (const row& r : rows) {
        const double wall_s = wall_start + r.at_s;
        const command_outcome outcome =
            apply_command(controls, parse_command(r.name, r.payload), r.retained, r.at_s, wall_s);
        controls = outcome.controls;
        EXPECT_EQ(outcome.wake, r.wake) << r.at_s;
        const std::string told = outcome.tell + outcome.note;
        EXPECT_EQ(told.empty(), r.told.empty()) << r.at_s << " " << told;
        EXPECT_NE(told.find(r.told), std::string::npos) << r.at_s << " " << told;
        EXPECT_EQ(outcome.changed, r.changed) << r.at_s;
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

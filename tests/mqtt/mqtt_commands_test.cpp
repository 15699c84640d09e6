// Each command's payloads, good and bad, over one table.
#include "mqtt/mqtt_commands.h"

#include <gtest/gtest.h>

namespace {

TEST(MqttCommands, PayloadsGoodAndBad) {
    struct row {
        std::string name;
        std::string payload;
        bool taken;
        int snooze_min = 0;
        bool on = false;
        double latitude = 0;
        double longitude = 0;
    };
    const std::string at_limit = "{\"lat\": 50.06, \"lon\": 19.94" + std::string(228, ' ') + "}";
    const std::vector<row> rows = {
        {"check_now", "PRESS", true},
        {"check_now", "press", false},
        {"check_now", "", false},
        {"check_now", "PRESS ", false},
        {"snooze", "0", true, 0},
        {"snooze", "30", true, 30},
        {"snooze", "240", true, 240},
        {"snooze", "30.0", true, 30},
        {"snooze", "241", false},
        {"snooze", "-1", false},
        {"snooze", "30.5", false},
        {"snooze", "30.", false},
        {"snooze", "", false},
        {"snooze", "1e2", false},
        {"snooze", "0240", false},
        {"snooze", "ON", false},
        {"approaching_only", "ON", true, 0, true},
        {"approaching_only", "OFF", true, 0, false},
        {"approaching_only", "on", false},
        {"approaching_only", "1", false},
        {"location", "{\"lat\": 50.06, \"lon\": 19.94}", true, 0, false, 50.06, 19.94},
        {"location", "{\"lon\":-0.1276,\"lat\":51.5072}", true, 0, false, 51.5072, -0.1276},
        {"location", "50.06,19.94", true, 0, false, 50.06, 19.94},
        {"location", R"({"lat": 50.1, "lon": 20.2})", true, 0, false, 50.1, 20.2},
        {"location", " -33.9 , 151.2 ", true, 0, false, -33.9, 151.2},
        {"location", at_limit, true, 0, false, 50.06, 19.94},
        {"location", at_limit + " ", false},
        {"location", "{\"lat\": 91, \"lon\": 19.94}", false},
        {"location", "{\"lat\": 50, \"lon\": 180.5}", false},
        {"location", "{\"lat\": \"50\", \"lon\": 19.94}", false},
        {"location", "{\"lat\": 50.06}", false},
        {"location", "{\"lat\": 50, \"lon\": 19, \"alt\": 200}", false},
        {"location", "{\"lat\": 50, \"lat\": 51, \"lon\": 19}", false},
        {"location", "{\"lat\": 1e300, \"lon\": 19}", false},
        {"location", "[50.06, 19.94]", false},
        {"location", "{\"lat\": 50.06, \"lon\": 19.94", false},
        {"location", "0,0", false},
        {"location", "50.06;19.94", false},
        {"location", "50.06,19.94,3", false},
        {"unknown", "PRESS", false},
        {"", "PRESS", false},
    };
    for (const row& r : rows) {
        const result<place_command> command = parse_command(r.name, r.payload);
        ASSERT_EQ(command.has_value(), r.taken) << r.name << " " << r.payload;
        if (!command) {
            EXPECT_FALSE(command.error().empty());
            continue;
        }
        EXPECT_EQ(command_named(r.name)->kind, command->kind) << r.name;
        EXPECT_EQ(command->snooze_min, r.snooze_min) << r.payload;
        EXPECT_EQ(command->on, r.on) << r.payload;
        EXPECT_NEAR(command->latitude, r.latitude, 1e-9) << r.payload;
        EXPECT_NEAR(command->longitude, r.longitude, 1e-9) << r.payload;
    }
}

TEST(MqttCommands, ALongPayloadIsRefusedByItsLengthAndTheMessageStaysShort) {
    const result<place_command> command = parse_command("snooze", std::string(100000, '1'));
    ASSERT_FALSE(command);
    EXPECT_NE(command.error().find("100000 bajtów"), std::string::npos) << command.error();
    EXPECT_LT(command.error().size(), 200u);
}

} // namespace

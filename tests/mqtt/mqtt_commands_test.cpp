// Each command's payloads, good and bad, over one table.
#include "mqtt/mqtt_commands.h"

#include <gtest/gtest.h>

namespace {

TEST(MqttCommands, PayloadsGoodAndBad) {
    struct row {
        std::string name, payload;
        bool taken;
        double value = 0; // snooze_min, on, or the latitude
    };
    const std::string at_limit = "{\"lat\": 50.06, \"lon\": 19.94" + std::string(228, ' ') + "}";
    const std::vector<row> rows = {
        {"check_now", "PRESS", true},
        {"check_now", "press", false},
        {"snooze", "0", true, 0},
        {"snooze", "240", true, 240},
        {"snooze", "30.0", true, 30},
        {"snooze", "241", false},
        {"snooze", "-1", false},
        {"snooze", "30.5", false},
        {"snooze", "", false},
        {"snooze", std::string(300, '1'), false},
        {"approaching_only", "ON", true, 1},
        {"approaching_only", "OFF", true, 0},
        {"approaching_only", "on", false},
        {"location", "50.06,19.94", true, 50.06},
        {"location", R"({"lon": 20.2, "lat": 50.1})", true, 50.1},
        {"location", at_limit, true, 50.06},
        {"location", at_limit + " ", false},
        {"location", R"({"lat": 91, "lon": 19.94})", false},
        {"location", R"({"lat": "50", "lon": 19.94})", false},
        {"location", R"({"lat": 50, "lon": 19, "alt": 200})", false},
        {"location", R"({"lat": 50, "lat": 51, "lon": 19})", false},
        {"location", R"({"lat": 1e300, "lon": 19})", false},
        {"location", "0,0", false},
        {"location", "50.06,19.94,3", false},
        {"unknown", "PRESS", false},
        {"snooze", std::string(39, '1') + "\xC5\x82\xFF", false},
    };
    for (const row& r : rows) {
        const result<place_command> command = parse_command(r.name, r.payload);
        ASSERT_EQ(command.has_value(), r.taken) << r.name << " " << r.payload;
        if (!command) {
            // What was sent, shown: never whole, nor a cut or malformed character.
            const std::size_t quote = command.error().find("„");
            const std::string shown =
                quote == std::string::npos ? "" : command.error().substr(quote + 3);
            EXPECT_LT(shown.size(), 50u);
            EXPECT_EQ(std::count_if(shown.begin(), shown.end(), [](char c) { return c < 0; }),
                      shown.empty() ? 0 : 3) // the closing quotation mark's bytes alone
                << shown;
            continue;
        }
        EXPECT_EQ(command_named(r.name)->kind, command->kind) << r.name;
        const double value = command->kind == command_kind::location ? command->latitude
                             : command->kind == command_kind::snooze ? command->snooze_min
                                                                     : command->on;
        EXPECT_NEAR(value, r.value, 1e-9) << r.payload;
    }
}

} // namespace

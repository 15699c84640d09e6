// The positions of a place that moves: what is taken, what is refused, and when it is stale.
#include "mqtt/position.h"

#include <gtest/gtest.h>

namespace {

TEST(Position, LocationMessagesAndPlainObjectsAreTakenAndTheRestRefused) {
    const struct {
        const char* name;
        std::string payload;
        bool taken;
        double latitude;
        bool stale; // at 2000000000, come then
    } cases[] = {
        {"location", R"({"_type":"location","lat":50.06,"lon":19.94,"tst":1999999000,"acc":15})",
         true, 50.06, false},
        {"location without time", R"({"_type":"location","lat":-33.9,"lon":151.2})", true, -33.9,
         false},
        {"plain object", R"({"latitude":49.62,"longitude":20.69})", true, 49.62, false},
        {"taken 31 minutes ago", R"({"_type":"location","lat":50,"lon":20,"tst":1999998140})", true,
         50, true},
        {"accuracy worse than 2 km", R"({"_type":"location","lat":50,"lon":20,"acc":2500})", true,
         50, true},
        {"taken a minute ahead", R"({"_type":"location","lat":50,"lon":20,"tst":2000000060})", true,
         50, false},
        {"taken in a far future", R"({"_type":"location","lat":50,"lon":20,"tst":99999999999})",
         true, 50, false},
        {"latitude out of range", R"({"latitude":91,"longitude":20})", false, 0, false},
        // A phone without a fix yet: refused as --near 0,0 is.
        {"0,0", R"({"_type":"location","lat":0,"lon":0,"tst":1999999000})", false, 0, false},
        {"0,0 as a plain object", R"({"latitude":0.0,"longitude":-0.0})", false, 0, false},
        {"longitude a string", R"({"latitude":50,"longitude":"20"})", false, 0, false},
        {"other message type", R"({"_type":"transition","lat":50,"lon":20})", false, 0, false},
        {"location keys in a plain object", R"({"lat":50,"lon":20})", false, 0, false},
        {"not JSON", "50.06,19.94", false, 0, false},
        {"an array", "[50,20]", false, 0, false},
        {"over 1 KB", R"({"latitude":50,"longitude":20,"x":")" + std::string(1024, 'x') + "\"}",
         false, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const result<place_position> position = position_of(c.payload);
        ASSERT_EQ(static_cast<bool>(position), c.taken);
        if (position) {
            EXPECT_DOUBLE_EQ(position->latitude, c.latitude);
            EXPECT_EQ(position_stale(*position, 2000000000, 2000000000), c.stale);
            // Whatever time it carries, a position is stale an hour after it came.
            EXPECT_TRUE(position_stale(*position, 2000000000, 2000003600));
        } else {
            EXPECT_EQ(position.error().rfind("położenie: ", 0), 0u);
        }
    }
}

} // namespace

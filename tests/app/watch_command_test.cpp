// The watch's request floor: how often a storm service is asked, by where it is.
#include "app/watch_command.h"

#include <gtest/gtest.h>

namespace {

TEST(WatchRequestFloor, ARemoteStormServiceIsAskedAtMostOnceAMinute) {
    const struct {
        const char* host;
        bool loopback;
    } hosts[] = {
        {"localhost:8443", true},     {"localhost", true},          {"sim.localhost:1", true},
        {"127.0.0.1:47443", true},    {"127.3.2.1", true},          {"[::1]:8443", true},
        {"burze.example.pl", false},  {"10.0.0.1:443", false},      {"128.0.0.1:443", false},
        {"[2001:db8::1]:443", false}, {"localhost.example", false}, {"mylocalhost", false},
    };
    for (const auto& c : hosts) {
        EXPECT_EQ(is_loopback_host(c.host), c.loopback) << c.host;
    }
    const struct {
        std::optional<long> max_age_s;
        double every_s;
        bool loopback;
        long expected;
    } ages[] = {
        {std::nullopt, 300, true, 150},
        {std::nullopt, 300, false, 150},
        {30, 300, false, 60},
        {std::nullopt, 0.006, true, 0},
        {std::nullopt, 0.006, false, 60},
        {std::nullopt, 90, false, 60},
        {std::nullopt, 150, false, 75},
        {0, 600, true, 0},
    };
    for (const auto& c : ages) {
        EXPECT_EQ(watch_max_age_s(c.max_age_s, c.every_s, c.loopback), c.expected)
            << c.every_s << (c.loopback ? " loopback" : " remote");
    }
}

} // namespace

// The watch's waits: the service manager's watchdog hears from them while the watch is on time,
// and nothing once it is overdue.
#include "support/temp_dir.h"
#include "watch/wake.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

TEST(WatchWaits, TheWatchdogHearsNothingWhileTheWatchIsOverdue) {
    TempDir dir;
    const std::string path = dir.path + "/notify";
    const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "20000", 1); // a ping every 10 ms
    unsetenv("WATCHDOG_PID");
    const wake_signals signals;
    ASSERT_TRUE(signals.ready());
    // Each row: when the watch is due back, from now (none: not waiting), and whether the
    // waits ping the watchdog.
    const struct {
        std::optional<int> back_in_ms;
        bool pinged;
    } rows[] = {{std::nullopt, true}, {10000, true}, {-1, false}, {std::nullopt, true}};
    for (const auto& row : rows) {
        char message[64];
        while (recv(manager, message, sizeof message, 0) > 0) {
        }
        const auto now = watch_clock::now();
        expect_back_by(row.back_in_ms ? std::optional<watch_clock::time_point>(
                                            now + std::chrono::milliseconds(*row.back_in_ms))
                                      : std::nullopt);
        EXPECT_EQ(wait_for_wake(-1, now + std::chrono::milliseconds(100)), wake_reason::deadline);
        int pings = 0;
        for (ssize_t n = 0; (n = recv(manager, message, sizeof message, 0)) > 0;) {
            pings += std::string(message, static_cast<std::size_t>(n)) == "WATCHDOG=1" ? 1 : 0;
        }
        EXPECT_EQ(pings > 0, row.pinged) << pings;
    }
    expect_back_by(std::nullopt);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    close(manager);
}

} // namespace

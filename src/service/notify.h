// Telling the service manager how the program is doing: one datagram per message to the Unix
// socket named by $NOTIFY_SOCKET ("@" at its start: the abstract namespace). Nothing is sent
// when the variable is unset or names no usable socket; a failed send changes nothing else. A
// send never waits: a message the socket's full queue has no room for is dropped.
#pragma once

#include <chrono>
#include <optional>
#include <string>

// Sends one message ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1"); true when it went.
bool notify_service(const std::string& message);

// How often the watchdog wants to hear from this process: half of $WATCHDOG_USEC, when that is
// set and $WATCHDOG_PID is unset or names this process; nothing otherwise.
std::optional<std::chrono::microseconds> watchdog_period();

// The watchdog pings of a loop: `due` tells when the next one is wanted; `keep` sends it when
// it is due (and reckons the next one from now).
class watchdog_pinger {
  public:
    watchdog_pinger();
    bool active() const { return period_.has_value(); }
    std::chrono::steady_clock::time_point due() const { return due_; }
    void keep();

  private:
    std::optional<std::chrono::microseconds> period_;
    std::chrono::steady_clock::time_point due_;
};

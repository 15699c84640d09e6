// Waiting that a signal cuts short: SIGINT, SIGTERM and SIGHUP ask the watch to stop, SIGCHLD wakes
// it to collect a finished command. The handlers only write a byte to a pipe (the self-pipe), and
// every wait of the watch polls that pipe, so a signal never goes unnoticed between a check
// and the wait.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

using watch_clock = std::chrono::steady_clock;

// Installs the handlers for the life of the object; the previous ones come back after it.
class wake_signals {
  public:
    wake_signals();
    ~wake_signals();
    wake_signals(const wake_signals&) = delete;
    wake_signals& operator=(const wake_signals&) = delete;
    bool ready() const;
};

// True once SIGINT, SIGTERM or SIGHUP has arrived.
bool stop_requested();

enum class wake_reason { readable, signal, deadline };

// Work done during every wait of the watch, besides waiting: `run` runs when the descriptor
// `fd()` (below 0: none) is readable, or writable while `wants_write()`, and at least every
// `period`. A forked child closes the descriptor and never runs the chore.
struct wait_chore {
    std::function<int()> fd;
    std::function<bool()> wants_write;
    std::function<void()> run;
    std::chrono::milliseconds period{500};
};
// From now on every wait runs the chore; null: none. The chore must outlive its use.
void set_wait_chore(const wait_chore* chore);
// The next wait runs the chore first: what the watch did since may have changed its period.
void run_chore_at_next_wait();

// Cuts the current wait short as a signal does (or the next one, when none runs): the watch's
// own call when something it heard (a command) asks for a check now.
void wake_watch();

// From now on the waits wake as a signal does once `fd` is readable (a worker's answer coming
// in), then no more until it is asked for again: a wake that nobody takes up (the town's lookup
// waits take none) never turns a wait into a spin.
void wake_on_readable(int fd);
void stop_waking_on(int fd);

// Waits until `fd` is readable (below 0: no descriptor), a signal arrives or the deadline
// passes. When the service manager's watchdog wants pings, they go out from here at its period,
// but not once the watch is overdue (below).
wake_reason wait_for_wake(int fd, watch_clock::time_point deadline);

// The time by which the watch must be back from what it waits for (a worker's answer: its
// deadline and the time to end the worker); none: not waiting for one. Past it the watchdog's
// pings stop, so that the service manager restarts a watch that is stuck.
void expect_back_by(std::optional<watch_clock::time_point> by);

// Waits until the deadline, stopping early only for SIGINT, SIGTERM or SIGHUP; `on_signal` runs at
// every other signal. False when stopped.
template <typename F> bool sleep_until(watch_clock::time_point deadline, F&& on_signal) {
    while (!stop_requested()) {
        if (wait_for_wake(-1, deadline) == wake_reason::deadline) {
            return true;
        }
        on_signal();
    }
    return false;
}

// In a forked child that goes on with other work: the default dispositions of the watched
// signals back and the self-pipe closed. SIGPIPE stays as the watch has it.
void forget_wake_signals_in_child();

#include "watch/wake.h"

#include "service/notify.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

namespace {

int wake_pipe[2] = {-1, -1};
volatile std::sig_atomic_t stop_flag = 0;
// A closed terminal (SIGHUP) ends the watch as SIGINT and SIGTERM do.
const int watched_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD};
constexpr int watched_count = sizeof watched_signals / sizeof watched_signals[0];
struct sigaction previous[watched_count];
const wait_chore* chore = nullptr;
int chore_fd = -1; // the chore's descriptor at the last wait
watch_clock::time_point chore_due;
std::vector<int> waking; // wake_on_readable's descriptors
std::optional<watch_clock::time_point> back_by;

void on_signal(int number) {
    const int saved = errno;
    if (number != SIGCHLD) {
        stop_flag = 1;
    }
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = write(wake_pipe[1], &byte, 1);
    errno = saved;
}

void drain_pipe() {
    char bytes[64];
    while (read(wake_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

// The service manager's watchdog, pinged from the waits: the watch spends its time in them,
// between checks and while a check runs, so the pings stop when the loop does.
watchdog_pinger& watchdog() {
    static watchdog_pinger pinger;
    return pinger;
}

} // namespace

wake_signals::wake_signals() {
    watchdog() = watchdog_pinger(); // as the environment now asks
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
        return;
    }
    stop_flag = 0;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    for (int i = 0; i < watched_count; ++i) {
        sigaction(watched_signals[i], &action, &previous[i]);
    }
}

wake_signals::~wake_signals() {
    if (wake_pipe[0] < 0) {
        return;
    }
    for (int i = 0; i < watched_count; ++i) {
        sigaction(watched_signals[i], &previous[i], nullptr);
    }
    close(wake_pipe[0]);
    close(wake_pipe[1]);
    wake_pipe[0] = wake_pipe[1] = -1;
}

bool wake_signals::ready() const {
    return wake_pipe[0] >= 0;
}

bool stop_requested() {
    return stop_flag != 0;
}

void wake_watch() {
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = write(wake_pipe[1], &byte, 1);
}

void set_wait_chore(const wait_chore* new_chore) {
    chore = new_chore;
    chore_fd = -1;
    chore_due = watch_clock::now();
}

void run_chore_at_next_wait() {
    chore_due = watch_clock::now();
}

void expect_back_by(std::optional<watch_clock::time_point> by) {
    back_by = by;
}

void wake_on_readable(int fd) {
    if (std::find(waking.begin(), waking.end(), fd) == waking.end()) {
        waking.push_back(fd);
    }
}

void stop_waking_on(int fd) {
    waking.erase(std::remove(waking.begin(), waking.end(), fd), waking.end());
}

wake_reason wait_for_wake(int fd, watch_clock::time_point deadline) {
    std::vector<pollfd> fds = {{wake_pipe[0], POLLIN, 0}, {fd, POLLIN, 0}, {-1, POLLIN, 0}};
    for (;;) {
        fds.resize(3);
        for (const int answer : waking) {
            fds.push_back({answer, POLLIN, 0});
        }
        if (stop_flag) {
            return wake_reason::signal;
        }
        watchdog_pinger& pinger = watchdog();
        watch_clock::time_point now = watch_clock::now();
        const bool pinging = pinger.active() && (!back_by || now <= *back_by);
        if (pinging) {
            pinger.keep();
            now = watch_clock::now();
        }
        if (chore != nullptr && now >= chore_due) {
            chore->run();
            chore_due = now + chore->period;
        }
        if (chore != nullptr) {
            chore_fd = chore->fd();
            fds[2].fd = chore_fd;
            fds[2].events = static_cast<short>(POLLIN | (chore->wants_write() ? POLLOUT : 0));
        }
        const watch_clock::time_point until =
            chore != nullptr ? std::min(deadline, chore_due) : deadline;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        if (until == deadline && left.count() <= 0) {
            return wake_reason::deadline;
        }
        auto timeout = left;
        if (pinging) {
            timeout =
                std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(pinger.due() - now));
        }
        const int ready =
            poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(timeout.count(), 0)));
        if (ready < 0 && errno != EINTR) {
            return wake_reason::deadline;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            drain_pipe();
            return wake_reason::signal;
        }
        if (ready > 0 && fds[2].fd >= 0 && fds[2].revents != 0) {
            chore_due = watch_clock::now(); // run it at once
        }
        if (ready > 0 && fd >= 0 && fds[1].revents != 0) {
            return wake_reason::readable;
        }
        for (auto answer = fds.begin() + 3; ready > 0 && answer != fds.end(); ++answer) {
            if (answer->revents != 0) {
                stop_waking_on(answer->fd);
                return wake_reason::signal;
            }
        }
    }
}

void forget_wake_signals_in_child() {
    for (int i = 0; i < watched_count; ++i) {
        signal(watched_signals[i], SIG_DFL);
    }
    // The chore's connection stays the watch's alone: the child never touches it, and does not
    // keep it open should the watch be killed.
    if (chore_fd >= 0) {
        close(chore_fd);
    }
    chore = nullptr;
    waking.clear();
    if (wake_pipe[0] >= 0) {
        close(wake_pipe[0]);
        close(wake_pipe[1]);
    }
}

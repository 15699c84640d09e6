#include "watch/child_run.h"

#include "watch/wake.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

namespace {

// Far beyond the longest check the clients' own time-outs allow.
constexpr auto longest_check = std::chrono::minutes(10);
// How long a child ended with SIGTERM may take to release its reply-cache claims.
constexpr auto release_grace = std::chrono::milliseconds(300);

// In a child: standard output and error on /dev/null, and SIGPIPE ignored: a service that closes
// its connection while a request is written gives a failed request, not a child ended without
// an answer.
void set_up_child() {
    signal(SIGPIPE, SIG_IGN);
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        close(null_fd);
    }
}

// The whole text on the socket; false when the other end has gone (no SIGPIPE).
bool send_all(int fd, const std::string& text) {
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0 && errno != EINTR) {
            return false;
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

[[noreturn]] void child_main(const std::function<std::string()>& work, int out_fd) {
    forget_wake_signals_in_child();
    set_up_child();
    // No exit handlers: they belong to the watch.
    _exit(send_all(out_fd, work()) ? 0 : 1);
}

int collect(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Ends the child: SIGTERM first (unless `terminate` is false: it ends on its own), on which it
// releases its reply-cache claims, then SIGKILL after a short grace.
void end_child(pid_t child, bool terminate = true) {
    if (terminate) {
        kill(child, SIGTERM);
    }
    const auto deadline = watch_clock::now() + release_grace;
    while (watch_clock::now() < deadline) {
        const pid_t ended = waitpid(child, nullptr, WNOHANG);
        if (ended == child || (ended < 0 && errno != EINTR)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    collect(child);
}

// Reads the child's answer until its end; false when stopped first.
bool read_answer(int fd, std::string& answer, const std::function<void()>& on_signal) {
    const auto deadline = watch_clock::now() + longest_check;
    char buffer[4096];
    for (;;) {
        const wake_reason reason = wait_for_wake(fd, deadline);
        if (stop_requested() || reason == wake_reason::deadline) {
            return false;
        }
        if (reason == wake_reason::signal) {
            on_signal();
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
        answer.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
}

} // namespace

child_outcome run_in_child(const std::function<std::string()>& work, std::string& answer,
                           const std::function<void()>& on_signal) {
    answer.clear();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return child_outcome::failed;
    }
    std::cout.flush();
    std::cerr.flush();
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        child_main(work, fds[1]);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        return child_outcome::failed;
    }
    const bool finished = read_answer(fds[0], answer, on_signal);
    close(fds[0]);
    if (!finished) {
        end_child(child);
        return stop_requested() ? child_outcome::stopped : child_outcome::failed;
    }
    const int status = collect(child);
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return clean ? child_outcome::done : child_outcome::failed;
}

namespace {

// --- the pool of workers -----------------------------------------------------------------------
// Orders and answers go as frames: the length in decimal, a line break, the text.

std::string frame(const std::string& text) {
    return std::to_string(text.size()) + '\n' + text;
}

// The text of a whole frame at the start of `buffer`, taken out of it; false while incomplete.
// A frame that cannot be one (no length) leaves `broken` set.
bool take_frame(std::string& buffer, std::string& text, bool& broken) {
    const std::size_t end = buffer.find('\n');
    constexpr std::size_t longest_length = 12;
    if (end == std::string::npos) {
        broken = buffer.size() > longest_length;
        return false;
    }
    if (end == 0 || end > longest_length || buffer.find_first_not_of("0123456789") != end) {
        broken = true;
        return false;
    }
    const std::size_t size = std::stoull(buffer.substr(0, end));
    if (buffer.size() - end - 1 < size) {
        return false;
    }
    text = buffer.substr(end + 1, size);
    buffer.erase(0, end + 1 + size);
    return true;
}

// Reads from the socket into `buffer` until a whole frame is there (`flags`: MSG_DONTWAIT to
// take only what has come): 1 with its text, 0 when more is to come, -1 when the other end has
// gone or sent what is no frame.
int receive_frame(int fd, std::string& buffer, std::string& text, int flags) {
    char chunk[65536];
    for (;;) {
        bool broken = false;
        if (take_frame(buffer, text, broken)) {
            return 1;
        }
        if (broken) {
            return -1;
        }
        const ssize_t n = recv(fd, chunk, sizeof chunk, flags);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 0;
        }
        if (n <= 0) {
            return -1;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

// A worker's life: each order read whole is answered, until the watch closes its side.
[[noreturn]] void serve_orders(const worker_pool::serve_fn& serve, int fd) {
    forget_wake_signals_in_child();
    set_up_child();
    std::string buffer;
    std::string order;
    while (receive_frame(fd, buffer, order, 0) > 0) {
        if (!send_all(fd, frame(serve(order)))) {
            _exit(1);
        }
    }
    _exit(0);
}

} // namespace

worker_pool::~worker_pool() {
    for (worker& each : workers_) {
        end(each, each.busy);
    }
}

worker_pool::worker* worker_pool::free_worker() {
    for (worker& each : workers_) {
        if (each.pid > 0 && !each.busy) {
            return &each;
        }
    }
    const auto empty =
        std::find_if(workers_.begin(), workers_.end(), [](const worker& w) { return w.pid <= 0; });
    worker& made = empty != workers_.end() ? *empty : workers_.emplace_back();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return nullptr;
    }
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = fork();
    if (pid == 0) {
        // The other workers end when the watch closes its side of them, not when this one does.
        for (const worker& other : workers_) {
            if (other.fd >= 0) {
                close(other.fd);
            }
        }
        close(fds[0]);
        serve_orders(serve_, fds[1]);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return nullptr;
    }
    made.pid = pid;
    made.fd = fds[0];
    ++made_;
    return &made;
}

result<std::size_t> worker_pool::hand_over(const std::string& order) {
    // A free worker that has ended meanwhile (killed, say) takes no order: a new one is made.
    for (int tries = 0;; ++tries) {
        worker* free = free_worker();
        if (free == nullptr) {
            return failure(std::string("Nie mogę utworzyć procesu: ") + std::strerror(errno));
        }
        if (send_all(free->fd, frame(order))) {
            free->busy = true;
            return static_cast<std::size_t>(free - workers_.data());
        }
        const int error = errno;
        end(*free, true);
        if (tries > 0) {
            return failure(std::string("Nie mogę przekazać zlecenia: ") + std::strerror(error));
        }
    }
}

int worker_pool::take_in(worker& from, std::string& answer) {
    return receive_frame(from.fd, from.partial, answer, MSG_DONTWAIT);
}

void worker_pool::end(worker& gone, bool at_once) {
    if (gone.fd >= 0) {
        stop_waking_on(gone.fd);
        close(gone.fd); // a free worker ends on its own when its order stream ends
    }
    if (gone.pid > 0) {
        end_child(gone.pid, at_once);
    }
    gone = worker();
}

child_outcome worker_pool::ask(const std::string& order, std::string& answer,
                               const std::function<void()>& on_signal) {
    answer.clear();
    const result<std::size_t> taken = hand_over(order);
    if (!taken) {
        return child_outcome::failed;
    }
    const std::size_t index = *taken;
    const auto deadline = watch_clock::now() + longest_check;
    for (;;) {
        // The signal's work may start or end other orders, never this one: the index holds.
        worker& asked = workers_[index];
        const int got = take_in(asked, answer);
        if (got > 0) {
            asked.busy = false;
            return child_outcome::done;
        }
        if (got < 0) {
            answer.clear();
            end(asked, false);
            return stop_requested() ? child_outcome::stopped : child_outcome::failed;
        }
        const wake_reason reason = wait_for_wake(asked.fd, deadline);
        if (stop_requested() || reason == wake_reason::deadline) {
            answer.clear();
            end(workers_[index], true);
            return stop_requested() ? child_outcome::stopped : child_outcome::failed;
        }
        if (reason == wake_reason::signal) {
            on_signal();
        }
    }
}

result<std::size_t> worker_pool::start(const std::string& order) {
    result<std::size_t> taken = hand_over(order);
    if (taken) {
        wake_on_readable(workers_[*taken].fd);
    }
    return taken;
}

bool worker_pool::finished(std::size_t taken, std::string& answer) {
    answer.clear();
    if (taken >= workers_.size() || !workers_[taken].busy) {
        return false;
    }
    worker& asked = workers_[taken];
    const int got = take_in(asked, answer);
    if (got == 0) {
        wake_on_readable(asked.fd); // the rest wakes the watch again
        return false;
    }
    stop_waking_on(asked.fd);
    if (got < 0) {
        answer.clear();
        end(asked, false);
    } else {
        asked.busy = false;
    }
    return true;
}

void worker_pool::give_up(std::size_t taken) {
    if (taken < workers_.size() && workers_[taken].busy) {
        end(workers_[taken], true);
    }
}

side_order::~side_order() {
    if (taken_) {
        pool_.give_up(*taken_);
    }
}

result<void> side_order::start(const std::string& order) {
    if (taken_) {
        return failure("Poprzedni proces jeszcze działa.");
    }
    result<std::size_t> taken = pool_.start(order);
    if (!taken) {
        return failure(taken.error());
    }
    taken_ = *taken;
    return {};
}

bool side_order::finished(std::string& answer) {
    answer.clear();
    if (!taken_ || !pool_.finished(*taken_, answer)) {
        return false;
    }
    taken_.reset();
    return true;
}

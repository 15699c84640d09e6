#include "watch/child_run.h"

#include "state/run_deadline.h"

#include <fcntl.h>
#include <poll.h>
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

// How long a child may go on past its own deadline (the run's time limit, by which its requests
// have ended): to read its database, make its answer and send it.
constexpr auto answer_grace = std::chrono::seconds(2);
// How long a child ended with SIGTERM may take to release its reply-cache claims.
constexpr auto release_grace = std::chrono::milliseconds(300);

// When the answer to a child's order, handed over now, is due: past it, the child is ended.
watch_clock::time_point answer_deadline() {
    return watch_clock::now() + run_time_limit() + answer_grace;
}

// While the watch waits for an answer, it is due back by the answer's deadline and the time it
// takes to end the child: past that, the service manager's watchdog hears no more from it.
class waiting_for_answer {
  public:
    explicit waiting_for_answer(watch_clock::time_point deadline) {
        expect_back_by(deadline + release_grace + std::chrono::seconds(1));
    }
    ~waiting_for_answer() { expect_back_by(std::nullopt); }
    waiting_for_answer(const waiting_for_answer&) = delete;
    waiting_for_answer& operator=(const waiting_for_answer&) = delete;
};

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

// The whole order on a worker's socket by the deadline, unless the watch is asked to stop first:
// a worker that reads nothing (stopped, say) never holds the watch in a send. False when it could
// not be sent whole.
bool send_order(int fd, const std::string& text, watch_clock::time_point deadline) {
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n =
            send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return false;
        }
        if (stop_requested() || watch_clock::now() >= deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd writable{fd, POLLOUT, 0};
        static_cast<void>(poll(&writable, 1, 10)); // a signal or the time cuts it short
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

// Asks the child to end: SIGTERM (unless `terminate` is false: it ends on its own), on which it
// releases its reply-cache claims, and SIGCONT, so that a stopped child goes on to do so.
void ask_to_end(pid_t child, bool terminate) {
    if (terminate) {
        kill(child, SIGTERM);
    }
    kill(child, SIGCONT);
}

// Collects the children asked to end; those not ended after a short grace get SIGKILL, which
// reaches a stopped process too.
void collect_ended(std::vector<pid_t> left) {
    const auto deadline = watch_clock::now() + release_grace;
    while (!left.empty() && watch_clock::now() < deadline) {
        left.erase(std::remove_if(left.begin(), left.end(),
                                  [](pid_t child) {
                                      const pid_t ended = waitpid(child, nullptr, WNOHANG);
                                      return ended == child || (ended < 0 && errno != EINTR);
                                  }),
                   left.end());
        if (!left.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    for (const pid_t child : left) {
        kill(child, SIGKILL);
        collect(child);
    }
}

// Reads the child's answer until its end (done), unless the watch is stopped or the deadline
// passes first.
child_outcome read_answer(int fd, std::string& answer, const std::function<void()>& on_signal,
                          watch_clock::time_point deadline) {
    char buffer[4096];
    for (;;) {
        const wake_reason reason = wait_for_wake(fd, deadline);
        if (stop_requested()) {
            return child_outcome::stopped;
        }
        if (reason == wake_reason::deadline) {
            return child_outcome::overdue;
        }
        if (reason == wake_reason::signal) {
            on_signal();
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return child_outcome::done;
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
    const watch_clock::time_point deadline = answer_deadline();
    const waiting_for_answer waiting(deadline);
    const child_outcome read = read_answer(fds[0], answer, on_signal, deadline);
    close(fds[0]);
    if (read != child_outcome::done) {
        answer.clear();
        ask_to_end(child, true);
        collect_ended({child});
        return read;
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
    // All at once: the watch ends within one grace however many workers hang or are stopped.
    std::vector<pid_t> ending;
    for (worker& each : workers_) {
        if (each.fd >= 0) {
            stop_waking_on(each.fd);
            close(each.fd); // a free worker ends on its own when its order stream ends
        }
        if (each.pid > 0) {
            ask_to_end(each.pid, each.busy);
            ending.push_back(each.pid);
        }
        each = worker();
    }
    collect_ended(ending);
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

result<std::size_t> worker_pool::hand_over(const std::string& order, bool& overdue) {
    overdue = false;
    // A free worker that has ended meanwhile (killed, say) takes no order: a new one is made. One
    // that takes none in time (stopped) is ended, and the order is overdue.
    const watch_clock::time_point deadline = answer_deadline();
    for (int tries = 0;; ++tries) {
        worker* free = free_worker();
        if (free == nullptr) {
            return failure(std::string("Nie mogę utworzyć procesu: ") + std::strerror(errno));
        }
        if (send_order(free->fd, frame(order), deadline)) {
            free->busy = true;
            free->deadline = deadline;
            return static_cast<std::size_t>(free - workers_.data());
        }
        const int error = errno;
        end(*free, true);
        overdue = error == ETIMEDOUT;
        if (tries > 0 || overdue || stop_requested()) {
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
        ask_to_end(gone.pid, at_once);
        collect_ended({gone.pid});
    }
    gone = worker();
}

child_outcome worker_pool::ask(const std::string& order, std::string& answer,
                               const std::function<void()>& on_signal) {
    answer.clear();
    bool overdue = false;
    const result<std::size_t> taken = hand_over(order, overdue);
    if (!taken) {
        if (stop_requested()) {
            return child_outcome::stopped;
        }
        return overdue ? child_outcome::overdue : child_outcome::failed;
    }
    const std::size_t index = *taken;
    const waiting_for_answer waiting(workers_[index].deadline);
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
        const wake_reason reason = wait_for_wake(asked.fd, asked.deadline);
        if (stop_requested() || reason == wake_reason::deadline) {
            answer.clear();
            end(workers_[index], true);
            return stop_requested() ? child_outcome::stopped : child_outcome::overdue;
        }
        if (reason == wake_reason::signal) {
            on_signal();
        }
    }
}

result<std::size_t> worker_pool::start(const std::string& order) {
    bool overdue = false;
    result<std::size_t> taken = hand_over(order, overdue);
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
    if (got == 0 && watch_clock::now() < asked.deadline) {
        wake_on_readable(asked.fd); // the rest wakes the watch again
        return false;
    }
    if (got <= 0) {
        answer.clear();
        end(asked, got == 0); // overdue: ended at once
    } else {
        stop_waking_on(asked.fd);
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

#include "watch/child_run.h"

#include "watch/wake.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

namespace {

// Far beyond the longest check the clients' own time-outs allow.
constexpr auto longest_check = std::chrono::minutes(10);
// How long a child ended with SIGTERM may take to release its reply-cache claims.
constexpr auto release_grace = std::chrono::milliseconds(300);

[[noreturn]] void child_main(const std::function<std::string()>& work, int out_fd) {
    forget_wake_signals_in_child();
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
    }
    const std::string text = work();
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = write(out_fd, text.data() + sent, text.size() - sent);
        if (n <= 0 && errno != EINTR) {
            _exit(1);
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    // No exit handlers: they belong to the watch.
    _exit(0);
}

int collect(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Ends the child: SIGTERM first, on which it releases its reply-cache claims, then SIGKILL
// after a short grace.
void end_child(pid_t child) {
    kill(child, SIGTERM);
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
    if (pipe2(fds, O_CLOEXEC) != 0) {
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

side_child::~side_child() {
    if (pid_ > 0) {
        end_child(pid_);
    }
    release();
}

void side_child::release() {
    pid_ = -1;
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

result<void> side_child::start(const std::function<std::string()>& work) {
    if (pid_ > 0) {
        return failure("Poprzedni proces jeszcze działa.");
    }
    fd_ = memfd_create("nimbrovator-answer", MFD_CLOEXEC);
    if (fd_ < 0) {
        return failure(std::string("Nie mogę utworzyć pliku w pamięci: ") + std::strerror(errno));
    }
    std::cout.flush();
    std::cerr.flush();
    pid_ = fork();
    if (pid_ == 0) {
        child_main(work, fd_);
    }
    if (pid_ < 0) {
        const int error = errno;
        release();
        return failure(std::string("Nie mogę utworzyć procesu: ") + std::strerror(error));
    }
    return {};
}

bool side_child::finished(std::string& answer) {
    answer.clear();
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (ended == 0) {
        return false;
    }
    const bool clean = ended == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (clean && lseek(fd_, 0, SEEK_SET) == 0) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                if (n < 0) {
                    answer.clear();
                }
                break;
            }
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    release();
    return true;
}

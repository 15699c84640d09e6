#include "watch/alerts.h"

#include "service/journal.h"
#include "watch/wake.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <thread>

namespace {

constexpr auto grace = std::chrono::milliseconds(400);

// Starts `argv` in a process group of its own with standard input from /dev/null and the
// environment entries added; -1 when it cannot be started.
pid_t start_command(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::cout.flush();
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        forget_wake_signals_in_child();
        const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null_fd >= 0) {
            dup2(null_fd, STDIN_FILENO);
        }
        // The command gets standard input, output and error, nothing else of the watch's.
        close_range(3, ~0U, 0);
        for (const std::string& entry : env) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    if (child > 0) {
        setpgid(child, child); // also here, so that the group exists before any kill
    }
    return child;
}

// The exit status of a finished command, or -1 while it runs.
bool finished(pid_t pid, int& status) {
    return pid > 0 && waitpid(pid, &status, WNOHANG) == pid;
}

// Ends a command's process group: SIGTERM, then SIGKILL after a short grace.
void end_command(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(-pid, SIGTERM);
    int status = 0;
    const auto deadline = watch_clock::now() + grace;
    while (!finished(pid, status)) {
        if (watch_clock::now() >= deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(-pid, SIGKILL); // whatever the command left in its group
}

void report_status(int status) {
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        tell_error_stream("Polecenie --exec zakończyło się kodem " +
                              std::to_string(WEXITSTATUS(status)) + ".",
                          line_priority::warning);
    } else if (WIFSIGNALED(status)) {
        tell_error_stream("Polecenie --exec przerwał sygnał " + std::to_string(WTERMSIG(status)) +
                              ".",
                          line_priority::warning);
    }
}

} // namespace

bool program_in_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        if (access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

alert_commands::alert_commands(alert_settings settings) : settings_(std::move(settings)) {}

alert_commands::~alert_commands() {
    end_command(command_pid_);
    end_command(notify_pid_);
}

void alert_commands::raise(const alert& event) {
    if (settings_.bell) {
        std::cout << '\a' << std::flush;
    }
    collect();
    if (settings_.notify && notify_pid_ < 0) {
        if (program_in_path("notify-send")) {
            notify_pid_ = start_command({"notify-send", event.title, event.message}, {});
        } else if (!notify_missing_reported_) {
            notify_missing_reported_ = true;
            tell_error_stream("Brak programu notify-send: powiadomienia na pulpicie są wyłączone.",
                              line_priority::warning);
        }
    }
    if (settings_.command.empty()) {
        return;
    }
    if (command_pid_ > 0) {
        tell_error_stream("Poprzednie polecenie --exec jeszcze działa; tego zdarzenia nie "
                          "przekazuję.",
                          line_priority::warning);
        return;
    }
    command_pid_ = start_command({"/bin/sh", "-c", settings_.command}, event.environment);
    if (command_pid_ < 0) {
        tell_error_stream("Nie udało się uruchomić polecenia --exec.", line_priority::error);
    }
}

void alert_commands::collect() {
    int status = 0;
    if (finished(command_pid_, status)) {
        command_pid_ = -1;
        report_status(status);
    }
    if (finished(notify_pid_, status)) {
        notify_pid_ = -1;
    }
}

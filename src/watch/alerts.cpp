#include "watch/alerts.h"

#include "config/settings.h"
#include "watch/wake.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

extern char** environ;

namespace {

constexpr auto grace = std::chrono::milliseconds(400);

bool holds_secret(const char* entry) {
    for (const setting_rule& rule : setting_rules()) {
        const std::size_t length = std::strlen(rule.variable);
        if (rule.is_key && std::strncmp(entry, rule.variable, length) == 0 &&
            entry[length] == '=') {
            return true;
        }
    }
    return false;
}

std::vector<char*> pointers(const std::vector<std::string>& texts) {
    std::vector<char*> list;
    list.reserve(texts.size() + 1);
    for (const std::string& text : texts) {
        list.push_back(const_cast<char*>(text.c_str()));
    }
    list.push_back(nullptr);
    return list;
}

// Starts `argv` in a process group of its own with standard input from /dev/null and the
// environment `env`; -1 when it cannot be started.
pid_t start_process(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const std::vector<char*> args = pointers(argv);
    const std::vector<char*> envp = pointers(env);
    std::cout.flush();
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        forget_wake_signals_in_child();
        signal(SIGPIPE, SIG_DFL); // an ignored signal would stay ignored in the command
        const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null_fd >= 0) {
            dup2(null_fd, STDIN_FILENO);
        }
        // The command gets standard input, output and error, nothing else of the watch's.
        close_range(3, ~0U, 0);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (child > 0) {
        setpgid(child, child); // also here, so that the group exists before any kill
    }
    return child;
}

bool finished(pid_t pid, int& status) {
    return pid > 0 && waitpid(pid, &status, WNOHANG) == pid;
}

// Ends a command's process group: SIGTERM, then SIGKILL after a short grace.
void end_process(pid_t pid) {
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

} // namespace

std::vector<std::string> command_environment(const char* const* current,
                                             const std::vector<std::string>& added) {
    std::vector<std::string> env;
    for (const char* const* entry = current; entry != nullptr && *entry != nullptr; ++entry) {
        if (!holds_secret(*entry)) {
            env.emplace_back(*entry);
        }
    }
    env.insert(env.end(), added.begin(), added.end());
    return env;
}

bool program_in_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        std::string path = dir;
        path += '/';
        path += program;
        if (access(path.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

alert_command::~alert_command() {
    end_process(pid_);
}

result<void> alert_command::start(const std::vector<std::string>& argv,
                                  const std::vector<std::string>& added) {
    if (running()) {
        return failure("Poprzednie polecenie jeszcze działa.");
    }
    pid_ = start_process(argv, command_environment(environ, added));
    if (pid_ < 0) {
        return failure("Nie udało się uruchomić polecenia.");
    }
    return {};
}

std::optional<int> alert_command::collect() {
    int status = 0;
    if (!finished(pid_, status)) {
        return std::nullopt;
    }
    pid_ = -1;
    return status;
}

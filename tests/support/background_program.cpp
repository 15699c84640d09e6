#include "support/background_program.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

void BackgroundProgram::start(const std::vector<std::string>& args, const std::string& data_dir,
                              const std::vector<std::string>& environment, bool one_file,
                              const std::function<void()>& in_child) {
    std::vector<std::string> all = {NIMBROVATOR_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    const std::string out_path = dir.path + "/out";
    const std::string err_path = dir.path + "/err";
    pid = fork();
    if (pid != 0) {
        return;
    }
    std::freopen("/dev/null", "r", stdin);
    std::freopen(out_path.c_str(), "w", stdout);
    if (one_file) {
        dup2(STDOUT_FILENO, STDERR_FILENO);
    } else {
        std::freopen(err_path.c_str(), "w", stderr);
    }
    setenv("ASAN_OPTIONS", "detect_leaks=1", 1);
    setenv("NIMBROVATOR_DATA_DIR", data_dir.c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir.path.c_str(), 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("TZ", "UTC", 1);
    for (const std::string& entry : environment) {
        const std::size_t equals = entry.find('=');
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    if (in_child) {
        in_child();
    }
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    execv(NIMBROVATOR_BINARY, argv.data());
    _exit(127);
}

std::string BackgroundProgram::out() const {
    return read_file(dir.path + "/out");
}

std::string BackgroundProgram::err() const {
    return read_file(dir.path + "/err");
}

namespace {

// Collects the program within `limit` from `since`, else kills it.
int collect(pid_t& pid, std::chrono::steady_clock::time_point since, std::chrono::seconds limit,
            double& seconds) {
    int status = 0;
    bool exited = true;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() - since > limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            exited = false;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    pid = -1;
    return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int BackgroundProgram::stop(int signal_number, double& seconds, std::chrono::seconds limit) {
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, signal_number);
    return collect(pid, sent, limit, seconds);
}

int BackgroundProgram::wait_exit() {
    double seconds = 0;
    return collect(pid, std::chrono::steady_clock::now(), std::chrono::seconds(10), seconds);
}

int BackgroundProgram::stop(int signal_number) {
    double seconds = 0;
    return stop(signal_number, seconds, std::chrono::seconds(10));
}

BackgroundProgram::~BackgroundProgram() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

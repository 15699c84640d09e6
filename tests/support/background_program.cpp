#include "support/background_program.h"

#include "support/service_ports.h"
#include "support/spawn.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

void BackgroundProgram::start(const std::vector<std::string>& args, const std::string& data_dir,
                              const std::vector<std::string>& environment, bool one_file,
                              ServiceSetting service) {
    ChildLaunch launch;
    if (service.own_watchdog) {
        // The shell's pid becomes the program's when it execs.
        launch.argv = {"/bin/sh", "-c", "WATCHDOG_PID=$$; export WATCHDOG_PID; exec \"$0\" \"$@\""};
    }
    launch.argv.emplace_back(NIMBROVATOR_BINARY);
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.set = {"ASAN_OPTIONS=detect_leaks=1", "NIMBROVATOR_DATA_DIR=" + data_dir,
                  "XDG_CONFIG_HOME=" + dir.path, "LC_ALL=C.UTF-8", "TZ=UTC"};
    for (const std::string& entry : test_service_environment()) {
        launch.set.push_back(entry);
    }
    launch.set.insert(launch.set.end(), environment.begin(), environment.end());
    launch.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    launch.out = open_for_child(dir.path + "/out");
    launch.err = one_file ? launch.out : open_for_child(dir.path + "/err");
    if (service.journal_stream) {
        struct stat status {};
        fstat(launch.err, &status);
        launch.set.push_back("JOURNAL_STREAM=" + std::to_string(status.st_dev) + ":" +
                             std::to_string(status.st_ino));
    }
    pid = spawn_program(launch);
    for (const int fd : {launch.in, launch.out, one_file ? -1 : launch.err}) {
        if (fd >= 0) {
            close(fd);
        }
    }
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

#include "support/run_program.h"

#include "support/service_ports.h"
#include "support/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

void close_fd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// The child's arguments, environment and streams.
ChildLaunch child_launch(const ProgramRun& run, int in_fd, int out_fd, int err_fd) {
    ChildLaunch launch;
    launch.path = run.program;
    launch.argv.push_back(run.argv0.empty() ? run.program : run.argv0);
    launch.argv.insert(launch.argv.end(), run.args.begin(), run.args.end());
    launch.in = in_fd;
    launch.out = out_fd;
    launch.err = err_fd;
    launch.set.emplace_back("TERM=dumb");
    if (run.data_dir.empty()) {
        launch.unset.emplace_back("NIMBROVATOR_DATA_DIR");
    } else {
        launch.set.push_back("NIMBROVATOR_DATA_DIR=" + run.data_dir);
    }
    if (!run.home.empty()) {
        launch.set.emplace_back("LD_PRELOAD=" FAKE_HOME_LIBRARY);
        launch.set.push_back("NIMBROVATOR_TEST_HOME=" + run.home);
    }
    // A preloaded library comes before the sanitizer runtime.
    launch.set.emplace_back(run.home.empty()
                                ? "ASAN_OPTIONS=detect_leaks=1"
                                : "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
    // The service settings are the test process's or the build's unless a test gives them;
    // without a home of the test's own there is no configuration file either.
    for (const char* name : {"XDG_CONFIG_HOME", "NIMBROVATOR_STORM_HOST", "NIMBROVATOR_STORM_KEY",
                             "NIMBROVATOR_STORM_CA_FILE", "NIMBROVATOR_WEATHER_HOST",
                             "NIMBROVATOR_WEATHER_KEY", "NIMBROVATOR_WEATHER_CA_FILE"}) {
        launch.unset.emplace_back(name);
    }
    if (run.home.empty()) {
        launch.set.emplace_back("XDG_CONFIG_HOME=/nonexistent/nimbrovator-test-config");
    }
    if (run.test_services) {
        for (const std::string& entry : test_service_environment()) {
            launch.set.push_back(entry);
        }
    }
    launch.set.insert(launch.set.end(), run.environment.begin(), run.environment.end());
    return launch;
}

} // namespace

ProgramResult run_nimbrovator(const ProgramRun& run) {
    ProgramResult result;
    if (run.home.empty() && run.data_dir.empty() && run.program == NIMBROVATOR_BINARY) {
        result.exit_code = 126; // the program would use the real home directory
        return result;
    }
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0) {
        return result;
    }
    const int file_fd = run.stdout_path.empty() ? -1 : open_for_child(run.stdout_path);
    const pid_t pid = spawn_program(
        child_launch(run, in_pipe[0], file_fd >= 0 ? file_fd : out_pipe[1], err_pipe[1]));
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (file_fd >= 0) {
        close(file_fd);
    }
    if (run.started && pid > 0) {
        run.started(pid);
    }
    int in_fd = in_pipe[1], out_fd = out_pipe[0], err_fd = err_pipe[0];
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);

    std::size_t written = 0;
    if (run.input.empty()) {
        close_fd(in_fd);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(run.timeout_seconds);
    while (out_fd >= 0 || err_fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        poll(fds, 3, static_cast<int>(left.count()));
        char buffer[4096];
        int* fd_of[2] = {&out_fd, &err_fd};
        std::string* text_of[2] = {&result.out, &result.err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = read(*fd_of[i], buffer, sizeof buffer);
                if (n > 0) {
                    text_of[i]->append(buffer, static_cast<std::size_t>(n));
                } else {
                    close_fd(*fd_of[i]);
                }
            }
        }
        if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(in_fd, run.input.data() + written, run.input.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            }
            if (n < 0 || written == run.input.size()) {
                close_fd(in_fd);
            }
        }
    }
    close_fd(in_fd);
    close_fd(out_fd);
    close_fd(err_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.timed_out && WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    }
    return result;
}

bool switch_weather_reports_off(const std::string& data_dir) {
    ProgramRun run;
    run.data_dir = data_dir;
    run.args = {"-h"};
    run.input = "\n";
    if (run_nimbrovator(run).exit_code != 0) {
        return false;
    }
    run.args = {"-s"};
    run.input = "n\nn\n";
    return run_nimbrovator(run).exit_code == 0;
}

#include "support/run_program.h"

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

[[noreturn]] void exec_child(const ProgramRun& run, int in_fd, int out_fd, int err_fd) {
    dup2(in_fd, 0);
    const int file_fd =
        run.stdout_path.empty() ? -1 : open(run.stdout_path.c_str(), O_WRONLY | O_CREAT, 0644);
    dup2(file_fd >= 0 ? file_fd : out_fd, 1);
    dup2(err_fd, 2);
    setenv("TERM", "dumb", 1);
    if (run.data_dir.empty()) {
        unsetenv("NIMBROVATOR_DATA_DIR");
    } else {
        setenv("NIMBROVATOR_DATA_DIR", run.data_dir.c_str(), 1);
    }
    if (!run.home.empty()) {
        setenv("LD_PRELOAD", FAKE_HOME_LIBRARY, 1);
        setenv("NIMBROVATOR_TEST_HOME", run.home.c_str(), 1);
    } else if (run.data_dir.empty() && run.program == NIMBROVATOR_BINARY) {
        _exit(126); // the program would use the real home directory
    }
    // A preloaded library comes before the sanitizer runtime.
    setenv("ASAN_OPTIONS",
           run.home.empty() ? "detect_leaks=1" : "verify_asan_link_order=0:detect_leaks=1", 1);
    // The service settings come from the build unless a test gives them; without a home of
    // the test's own there is no configuration file either.
    for (const char* name : {"XDG_CONFIG_HOME", "NIMBROVATOR_STORM_HOST", "NIMBROVATOR_STORM_KEY",
                             "NIMBROVATOR_STORM_CA_FILE", "NIMBROVATOR_WEATHER_HOST",
                             "NIMBROVATOR_WEATHER_KEY", "NIMBROVATOR_WEATHER_CA_FILE"}) {
        unsetenv(name);
    }
    if (run.home.empty()) {
        setenv("XDG_CONFIG_HOME", "/nonexistent/nimbrovator-test-config", 1);
    }
    for (const std::string& entry : run.environment) {
        putenv(const_cast<char*>(entry.c_str()));
    }
    std::vector<char*> argv;
    const std::string argv0 = run.argv0.empty() ? run.program : run.argv0;
    argv.push_back(const_cast<char*>(argv0.c_str()));
    for (const std::string& arg : run.args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(run.program.c_str(), argv.data());
    _exit(127);
}

} // namespace

ProgramResult run_nimbrovator(const ProgramRun& run) {
    ProgramResult result;
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        return result;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        exec_child(run, in_pipe[0], out_pipe[1], err_pipe[1]);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
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

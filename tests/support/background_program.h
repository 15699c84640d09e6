#pragma once

#include "support/temp_dir.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// What a background program is told of how it runs, as a service manager tells it.
struct ServiceSetting {
    bool journal_stream = false; // $JOURNAL_STREAM names its standard error
    bool own_watchdog = false;   // $WATCHDOG_PID is its own pid
};

// The program running in the background (a watch), its standard output and error going to
// files in its own directory; killed when the object goes.
struct BackgroundProgram {
    TempDir dir;
    pid_t pid = -1;

    BackgroundProgram() = default;
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;
    ~BackgroundProgram();

    // Starts the program with `args` after its name, its database in `data_dir`, LC_ALL=C.UTF-8,
    // TZ=UTC, no configuration file, then the NAME=VALUE entries of `environment`. With
    // `one_file` standard error goes to the file of standard output.
    void start(const std::vector<std::string>& args, const std::string& data_dir,
               const std::vector<std::string>& environment = {}, bool one_file = false,
               ServiceSetting service = ServiceSetting());
    std::string out() const;
    std::string err() const;

    // Waits (at most `seconds`) until `done` holds.
    template <typename F> bool wait_for(F&& done, int seconds = 30) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // Sends the signal and collects the program (killed after `limit`): its exit status, -1
    // when it did not exit by itself, and in `seconds` how long it took.
    int stop(int signal_number, double& seconds,
             std::chrono::seconds limit = std::chrono::seconds(5));
    int stop(int signal_number);
    // Collects a program that ends by itself (killed after 10 s): as stop.
    int wait_exit();
};

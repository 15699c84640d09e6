#pragma once

#include <functional>
#include <string>
#include <vector>

struct ProgramResult {
    int exit_code = -1; // -1 when the program did not exit by itself
    bool timed_out = false;
    std::string out;
    std::string err;
};

struct ProgramRun {
    std::vector<std::string> args;        // after the program name
    std::string input;                    // standard input, closed after it
    std::string data_dir;                 // NIMBROVATOR_DATA_DIR: the database's directory
    std::string home;                     // home directory from the fake password database
    std::vector<std::string> environment; // further NAME=VALUE entries
    std::string program = NIMBROVATOR_BINARY;
    std::string argv0; // empty: the program's path
    int timeout_seconds = 30;
    std::string stdout_path; // when set, standard output goes to this file (out stays empty)
    std::function<void(int pid)> started; // when set, called with the child's pid once it runs
    // The services of this test process (support/service_ports.h); false: the build's own.
    bool test_services = true;
};

// Runs the program as a child process with TERM=dumb and its data directory (data_dir, else
// home through the fake password database; never the real home), feeds it the input and
// collects its output; a run that outlives the time-out is killed.
ProgramResult run_nimbrovator(const ProgramRun& run);

// Passes the what's-new screen and switches the current weather and the forecast off in the
// settings menu, in the database of `data_dir`; false when a run failed.
bool switch_weather_reports_off(const std::string& data_dir);

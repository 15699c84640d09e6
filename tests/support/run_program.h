#pragma once

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
    std::string home;                     // home directory from the password database
    std::vector<std::string> environment; // further NAME=VALUE entries
    std::string program = NIMBROVATOR_BINARY;
    std::string argv0; // empty: the program's path
    int timeout_seconds = 30;
};

// Runs the program as a child process with TERM=dumb and the fake password database, feeds it
// the input and collects its output; a run that outlives the time-out is killed.
ProgramResult run_nimbrovator(const ProgramRun& run);

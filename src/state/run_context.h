// What the newer forms of a run (the machine forms, the watch, --history) take from the run:
// made once by run_program at start-up and passed down by reference.
#pragma once

#include <chrono>
#include <string>

class shared_connection;

struct run_paths {
    std::string home;     // empty when the data directory is chosen by the environment
    std::string data_dir; // $NIMBROVATOR_DATA_DIR, else home + "/.nimbrovator"
    std::string database; // data_dir + "/zagrozenia_pogodowe.db"
};

// The settings read from the database at start-up; only the exact text "1" switches something
// on, and an empty text means the setting could not be read.
struct settings_snapshot {
    std::string firstrun;
    std::string weather;
    std::string forecast;
};

struct run_context {
    run_paths paths;
    settings_snapshot settings;
    // How long a machine form, or each check of the watch, may last (--timeout); the deadline
    // of state/run_deadline.h starts from it.
    std::chrono::milliseconds time_limit{30000};
    // The run's one connection to the database, shared by the store's calls; the watch closes
    // it before its checks fork.
    shared_connection* database = nullptr;
};

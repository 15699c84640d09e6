// The simulator: both services started in this process on loopback ports, answering from the
// town table and the generators, until stopped.
#pragma once

#include "service_replies.h"

#include <memory>
#include <string>

struct sim_options {
    int storm_port = 27643;
    int weather_port = 27680; // 0: any free port, for either
    std::string storm_key;
    std::string weather_key;
    std::string pki_dir = "./sim-pki";
    std::string cert_file; // both set: used instead of the certificates of pki_dir
    std::string cert_key_file;
    std::string log_file; // empty: no log
    int delay_ms = 0;
    std::string fault = "none";
    std::string storm = "none"; // a scripted storm: none, approach, quiet
    std::string storm_town = "Kraków";
    int minute_ms = 60000; // how long a simulated minute of the storm lasts
};

// The storm and weather keys this build of the program sends.
std::string configured_storm_key();
std::string configured_weather_key();
// Options with the defaults, the keys included.
sim_options default_sim_options();

// Makes the throw-away CA and the localhost certificate in `dir` unless they are there
// already. False, with a message, when that fails.
bool ensure_pki(const std::string& dir, std::string& error);

struct simulator;
struct simulator_stopper {
    void operator()(simulator* sim) const;
};
using simulator_handle = std::unique_ptr<simulator, simulator_stopper>;

// Starts both services; null, with a message in `error`, when a port is busy or a file cannot
// be used.
simulator_handle start_simulator(const sim_options& options, std::string& error);

int sim_storm_port(const simulator& sim);
int sim_weather_port(const simulator& sim);
// "https://localhost:PORT/soap.php"
std::string sim_storm_endpoint(const simulator& sim);
// "http://127.0.0.1:PORT"
std::string sim_weather_base_url(const simulator& sim);
// The CA file that signs the storm service's certificate (empty with --cert files).
std::string sim_ca_file(const simulator& sim);
// "nimbrovator-sim: storm https://localhost:PORT/soap.php, weather http://127.0.0.1:PORT"
std::string sim_ready_line(const simulator& sim);

#include "simulator.h"

#include "nimbrovator_config.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>

struct simulator {
    sim_options options;
    sim_settings settings;
    std::string ca_file;
    std::mutex log_mutex;
    std::ofstream log;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    // Declared last: stopped first, while the log still exists.
    fake_storm_service_handle storm;
    fake_weather_service_handle weather;
};

namespace {

bool readable(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

void write_log(simulator& sim, const char* service, const std::string& summary) {
    if (!sim.log.is_open()) {
        return;
    }
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    std::lock_guard<std::mutex> lock(sim.log_mutex);
    sim.log << stamp << ' ' << service << ' ' << summary << '\n' << std::flush;
}

// Runs the certificate script with `dir` as its argument; its exit status, or -1.
int run_pki_script(const std::string& dir) {
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        execlp("sh", "sh", SIM_PKI_SCRIPT, dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool choose_certificate(const sim_options& options, std::string& cert, std::string& key,
                        std::string& ca, std::string& error) {
    if (!options.cert_file.empty() || !options.cert_key_file.empty()) {
        if (options.cert_file.empty() || options.cert_key_file.empty()) {
            error = "--cert and --cert-key must be given together";
            return false;
        }
        cert = options.cert_file;
        key = options.cert_key_file;
    } else {
        if (!ensure_pki(options.pki_dir, error)) {
            return false;
        }
        cert = options.pki_dir + "/server.pem";
        key = options.pki_dir + "/server.key";
        ca = options.pki_dir + "/ca.pem";
    }
    for (const std::string& file : {cert, key}) {
        if (!readable(file)) {
            error = "cannot read " + file + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// True when another socket holds 127.0.0.1:port (a listener, or one bound with SO_REUSEPORT).
bool port_in_use(int port) {
    const int sock = port == 0 ? -1 : socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        return false;
    }
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool busy = bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                      errno == EADDRINUSE;
    close(sock);
    return busy;
}

// Why a service did not start: its port is taken, else `other_cause`.
std::string serve_error(const std::string& service, int port, const std::string& other_cause) {
    const std::string where =
        "cannot serve the " + service + " service on 127.0.0.1:" + std::to_string(port);
    return port_in_use(port) ? where + ": the port is in use (another simulator running?)"
                             : where + " (" + other_cause + ")";
}

// How far the scripted storm has got since the simulator started, in simulated minutes.
double storm_minute(const simulator& sim) {
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - sim.started;
    return elapsed.count() / sim.options.minute_ms;
}

// The scripted storm of the options, at its town; false with a message when it cannot be.
bool choose_storm(const sim_options& options, storm_scenario& storm, std::string& error) {
    if (!known_scenario(options.storm)) {
        error = "unknown storm scenario: " + options.storm;
        return false;
    }
    const sim_town* town = find_town(options.storm_town);
    if (town == nullptr) {
        error = "unknown storm town: " + options.storm_town;
        return false;
    }
    storm = {options.storm, town->latitude, town->longitude};
    return true;
}

void install_handlers(simulator& sim) {
    simulator* raw = &sim;
    set_fake_storm_recording(*sim.storm, false);
    set_fake_storm_handler(*sim.storm, [raw](const fake_storm_request& request) {
        const double minute = storm_minute(*raw);
        storm_answer answer =
            answer_storm_request(request, raw->settings, std::time(nullptr), minute);
        // With a scripted storm, the minute of the storm the answer is for.
        const bool scripted = raw->settings.storm.name != "none";
        write_log(*raw, "storm",
                  answer.summary + (scripted ? " @" + std::to_string(minute) : std::string()));
        return answer.reply;
    });
    set_fake_recording(*sim.weather, false);
    for (const char* path : {current_weather_endpoint, daily_forecast_endpoint}) {
        set_fake_handler(
            *sim.weather, path, [raw](const std::string& path, const std::string& query) {
                weather_answer answer =
                    answer_weather_request(path, query, raw->settings, std::time(nullptr));
                write_log(*raw, "weather", answer.summary);
                return answer.reply;
            });
    }
}

} // namespace

std::string configured_storm_key() {
    const unsigned char masked[40] = {NIMBROVATOR_STORM_KEY_PIECES};
    std::string key;
    for (int i = 0; i < 40; ++i) {
        key += static_cast<char>(masked[i] ^ NIMBROVATOR_STORM_KEY_MASK(i));
    }
    return key;
}

std::string configured_weather_key() {
    return NIMBROVATOR_WEATHER_KEY;
}

sim_options default_sim_options() {
    sim_options options;
    options.storm_key = configured_storm_key();
    options.weather_key = configured_weather_key();
    return options;
}

bool ensure_pki(const std::string& dir, std::string& error) {
    bool complete = true;
    for (const char* name : {"ca.pem", "ca.key", "server.pem", "server.key"}) {
        complete = complete && readable(dir + "/" + name);
    }
    if (complete) {
        return true;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (run_pki_script(dir) != 0 || !readable(dir + "/server.pem")) {
        error = "cannot make the certificates in " + dir + " (is openssl installed?)";
        return false;
    }
    return true;
}

void simulator_stopper::operator()(simulator* sim) const {
    sim->storm.reset();
    sim->weather.reset();
    delete sim;
}

simulator_handle start_simulator(const sim_options& options, std::string& error) {
    if (!known_fault(options.fault)) {
        error = "unknown fault mode: " + options.fault;
        return nullptr;
    }
    simulator_handle sim(new simulator);
    sim->options = options;
    sim->settings = {options.storm_key, options.weather_key, options.fault, options.delay_ms, {}};
    if (options.minute_ms <= 0 || !choose_storm(options, sim->settings.storm, error)) {
        error = error.empty() ? "the simulated minute must last at least 1 ms" : error;
        return nullptr;
    }
    std::string cert;
    std::string key;
    if (!choose_certificate(options, cert, key, sim->ca_file, error)) {
        return nullptr;
    }
    if (!options.log_file.empty()) {
        sim->log.open(options.log_file, std::ios::app);
        if (!sim->log) {
            error = "cannot open the log " + options.log_file + ": " + std::strerror(errno);
            return nullptr;
        }
    }
    sim->storm = start_fake_storm_service(cert, key, options.storm_port);
    if (!sim->storm) {
        error = serve_error("storm", options.storm_port,
                            "unusable certificate " + cert + " / key " + key);
        return nullptr;
    }
    sim->weather = start_fake_weather_service(options.weather_port);
    if (!sim->weather) {
        error = serve_error("weather", options.weather_port, "cannot listen there");
        return nullptr;
    }
    install_handlers(*sim);
    sim->started = std::chrono::steady_clock::now();
    return sim;
}

int sim_storm_port(const simulator& sim) {
    return fake_storm_port(*sim.storm);
}

int sim_weather_port(const simulator& sim) {
    return fake_service_port(*sim.weather);
}

std::string sim_storm_endpoint(const simulator& sim) {
    return fake_storm_endpoint(*sim.storm);
}

std::string sim_weather_base_url(const simulator& sim) {
    return fake_service_base_url(*sim.weather);
}

std::string sim_ca_file(const simulator& sim) {
    return sim.ca_file;
}

std::string sim_ready_line(const simulator& sim) {
    return "nimbrovator-sim: storm " + sim_storm_endpoint(sim) + ", weather " +
           sim_weather_base_url(sim);
}

// nimbrovator-sim: serves a local storm service (HTTPS SOAP) and weather service (HTTP JSON) on
// 127.0.0.1 until interrupted.
#include "simulator.h"

#include <getopt.h>

#include <csignal>
#include <cstdlib>
#include <iostream>

namespace {

const char* const usage_text =
    "Usage: nimbrovator-sim [OPTION]...\n"
    "Serves a local storm service (HTTPS SOAP at /soap.php) and weather service (HTTP JSON)\n"
    "on 127.0.0.1 until interrupted.\n"
    "\n"
    "  --storm-port N     port of the storm service (default 27643)\n"
    "  --weather-port N   port of the weather service (default 27680)\n"
    "  --key HEX40        the storm service key accepted (default: the build's key)\n"
    "  --weather-key HEX32  the weather service key accepted (default: the build's key)\n"
    "  --pki-dir DIR      where the throw-away CA (ca.pem) and the localhost certificate\n"
    "                     (server.pem, server.key) are made on first use (default ./sim-pki)\n"
    "  --cert FILE        the storm service's certificate chain instead (PEM)\n"
    "  --cert-key FILE    its private key (PEM)\n"
    "  --log FILE         append one line per request\n"
    "  --delay-ms N       wait N milliseconds before every answer\n"
    "  --fault MODE       none, close (close mid-reply), slow (trickle), garbage,\n"
    "                     http500, soap-fault (the weather service answers http500)\n"
    "  --storm SCENARIO   play a scripted storm: approach (a storm first seen 80 km away\n"
    "                     passes over the town and dies out), pass (a storm passes the\n"
    "                     town about 15 km away), cells (two cells on either side) or\n"
    "                     quiet (no strikes at all)\n"
    "  --storm-town NAME  the town the storm is played at (default Kraków)\n"
    "  --minute-ms N      one simulated minute of the storm lasts N ms (default 60000)\n"
    "  --help             show this help and exit\n";

enum option_id {
    storm_port = 1,
    weather_port,
    key,
    weather_key,
    pki_dir,
    cert,
    cert_key,
    log_file,
    delay_ms,
    fault,
    storm,
    storm_town,
    minute_ms,
    help
};

const option long_options[] = {
    {"storm-port", required_argument, nullptr, storm_port},
    {"weather-port", required_argument, nullptr, weather_port},
    {"key", required_argument, nullptr, key},
    {"weather-key", required_argument, nullptr, weather_key},
    {"pki-dir", required_argument, nullptr, pki_dir},
    {"cert", required_argument, nullptr, cert},
    {"cert-key", required_argument, nullptr, cert_key},
    {"log", required_argument, nullptr, log_file},
    {"delay-ms", required_argument, nullptr, delay_ms},
    {"fault", required_argument, nullptr, fault},
    {"storm", required_argument, nullptr, storm},
    {"storm-town", required_argument, nullptr, storm_town},
    {"minute-ms", required_argument, nullptr, minute_ms},
    {"help", no_argument, nullptr, help},
    {nullptr, 0, nullptr, 0},
};

bool parse_number(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || number < low || number > high) {
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

// 0: go on; 1: bad option (message printed); 2: help printed.
int parse_options(int argc, char** argv, sim_options& options) {
    int id;
    while ((id = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        bool ok = true;
        switch (id) {
        case storm_port:
            ok = parse_number(optarg, 0, 65535, options.storm_port);
            break;
        case weather_port:
            ok = parse_number(optarg, 0, 65535, options.weather_port);
            break;
        case delay_ms:
            ok = parse_number(optarg, 0, 3600000, options.delay_ms);
            break;
        case key:
            options.storm_key = optarg;
            break;
        case weather_key:
            options.weather_key = optarg;
            break;
        case pki_dir:
            options.pki_dir = optarg;
            break;
        case cert:
            options.cert_file = optarg;
            break;
        case cert_key:
            options.cert_key_file = optarg;
            break;
        case log_file:
            options.log_file = optarg;
            break;
        case fault:
            options.fault = optarg;
            break;
        case storm:
            options.storm = optarg;
            break;
        case storm_town:
            options.storm_town = optarg;
            break;
        case minute_ms:
            ok = parse_number(optarg, 1, 3600000, options.minute_ms);
            break;
        case help:
            std::cout << usage_text << std::flush;
            return 2;
        default:
            std::cerr << "Try 'nimbrovator-sim --help'.\n";
            return 1;
        }
        if (!ok) {
            std::cerr << "nimbrovator-sim: bad value for --" << long_options[id - 1].name << ": "
                      << optarg << "\n";
            return 1;
        }
    }
    if (optind < argc) {
        std::cerr << "nimbrovator-sim: unexpected argument: " << argv[optind] << "\n";
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    sim_options options = default_sim_options();
    const int parsed = parse_options(argc, argv, options);
    if (parsed != 0) {
        return parsed == 2 ? 0 : 1;
    }
    // The service threads inherit the blocked signals; only sigwait below takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::string error;
    simulator_handle sim = start_simulator(options, error);
    if (!sim) {
        std::cerr << "nimbrovator-sim: " << error << "\n";
        return 1;
    }
    std::cout << sim_ready_line(*sim) << std::endl;
    int received = 0;
    sigwait(&stop_signals, &received);
    sim.reset();
    return 0;
}

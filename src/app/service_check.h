// The key check: one request to each service, one line about each.
#pragma once

#include <string>

enum class check_verdict { works, key_rejected, untrusted, unreachable, bad_reply, unreadable };

struct check_result {
    check_verdict verdict;
    // The service's or the runtime's own words, when there are any; unreachable: why, in the
    // words of its cause (failure_cause.h), as the other forms name it.
    std::string detail;
};

// The storm service's KeyAPI with the key of the run.
check_result check_storm_service();
// One current-weather request; a reply must be JSON to count as working.
check_result check_weather_service();

// One line about one service, naming its host and, when it could not be reached, its port.
std::string check_line(const std::string& service, const std::string& host, int default_port,
                       const check_result& result);

// Both checks, one line each on standard output; 0 when both services work, else 1.
int run_service_check();

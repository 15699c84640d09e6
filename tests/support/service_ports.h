#pragma once

#include <string>
#include <vector>

// The loopback ports of this test process's storm and weather services. Every program a test
// starts is given them at run time (NIMBROVATOR_STORM_HOST, NIMBROVATOR_WEATHER_HOST), so that
// test processes run side by side, each with fakes of its own. Chosen once per process, below
// the kernel's range for outgoing connections, where nothing else of the suite binds.
int test_storm_port();
int test_weather_port();
std::string test_storm_host();   // localhost:PORT, as the program names it
std::string test_weather_host(); // 127.0.0.1:PORT
// NAME=VALUE entries that point a program at this process's services.
std::vector<std::string> test_service_environment();

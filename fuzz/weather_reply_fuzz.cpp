// The weather service's reply bodies through the parse boundary and both weather reports:
// nothing escapes the parse, and the reports are terminal-safe text.
#include "fuzz_checks.h"
#include "text/text.h"
#include "weather/current_weather.h"
#include "weather/daily_forecast.h"
#include "weather/weather_fetch.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC", 1);
    tzset();
    set_polish_locale();
    polish_locale();
    // The parse prints its failure message for most inputs: it goes nowhere.
    std::cout.rdbuf(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const Json::Value document = parse_weather_json(body);
    check_service_error(document);
    fuzz_require(terminal_safe(format_current_weather(document)),
                 "the current weather report is terminal-safe");
    fuzz_require(terminal_safe(format_daily_forecast(document)),
                 "the forecast report is terminal-safe");
    return 0;
}

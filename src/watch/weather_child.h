// The watch's weather, asked by a worker beside the checks: a weather service that hangs never
// holds a check's line back, and its replies join the next check's line.
#pragma once

#include "base/result.h"
#include "report/report.h"
#include "weather/weather_fetch.h"

#include <optional>
#include <string>
#include <vector>

struct weather_part {
    std::string source; // "weather" or "forecast"
    std::string path;   // as fetch_weather takes it
    weather_reply reply;
};

// In the worker: the request's weather parts, asked with the whole time-out, as text for the
// watch (weather_parts_wire).
std::string weather_parts_text(const report_request& request);
// The parts as text, for the watch and back to a check's worker.
std::string weather_parts_wire(const std::vector<weather_part>& parts);
// The parts of such a text; a failure when the text is not a whole answer.
result<std::vector<weather_part>> parse_weather_parts(const std::string& text);

// The service gave no usable reply for the part.
bool weather_part_failed(const weather_part& part);

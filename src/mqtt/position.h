// The position of a place that moves, as a phone or tracker publishes it over MQTT: a location
// message ({"_type":"location","lat":…,"lon":…,"tst":…,"acc":…}) or a plain object
// ({"latitude":…,"longitude":…}).
#pragma once

#include "base/result.h"

#include <ctime>
#include <optional>
#include <string>

struct place_position {
    double latitude = 0;
    double longitude = 0;
    std::optional<std::time_t> at;    // when it was taken (tst); none: when it came
    std::optional<double> accuracy_m; // acc
};

// The largest payload taken as a position, in bytes.
constexpr std::size_t longest_position_payload = 1024;
// A position older than this, or less accurate, is still used but marked stale.
constexpr double stale_position_s = 30 * 60;
constexpr double coarse_position_m = 2000;
// A time taken further ahead of the message's arrival than this (a clock that is wrong) counts
// from the arrival instead.
constexpr double ahead_position_s = 5 * 60;

// The position in `payload`, or why it is none (Polish).
result<place_position> position_of(const std::string& payload);
// Whether the position is stale at `now`; it came at `came`, which stands for its time when it
// carries none or one more than ahead_position_s after it.
bool position_stale(const place_position& position, std::time_t came, std::time_t now);

// How often the watch's link publishes, shared by its files: a place's state at most once a
// second, and the announcement a birth message of Home Assistant asks for at most once in 30 s.
#pragma once

#include <chrono>

constexpr auto state_spacing = std::chrono::seconds(1);
constexpr auto reannounce_spacing = std::chrono::seconds(30);

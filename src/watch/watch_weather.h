// The weather of a place's watch, asked by a worker beside the checks: when it is asked, its
// answer taken in, its back-off, and what a check leaves out while it fails.
#pragma once

#include "watch/watch_loop.h"

#include <string>

// Whether the watch asks for the weather at all.
bool weather_wanted(const watch_request& request);
// The storm client's TLS context and, when the weather is asked, libcurl, made once before the
// workers are.
void ready_for_children(bool weather);
// True for the sources of the weather service ("weather", "forecast").
bool from_weather_service(const std::string& source);
// The check's weather parts whose latest request failed are left out of it, with the failure.
void leave_out_failing_weather(const watch_loop& loop, check_answer& answer);
// Takes the weather's answer once it has come.
void take_weather(watch_loop& loop);
// At a signal: the commands that have ended, and the weather's answer.
void collect_children(watch_loop& loop);
// Starts the weather order when the weather is due and none is out.
void ask_weather(watch_loop& loop);

// What a watch shows: each check's answer in the watch's form (a timed line, a document, a
// bar's line or object), the state published to the broker, the events handed to the channels,
// the lines about the watch itself and the service's status.
#pragma once

#include "service/journal.h"
#include "watch/channels.h"
#include "watch/watch_loop.h"

#include <json/json.h>

#include <cstddef>
#include <functional>
#include <string>

// What the watch asks of its channels.
channel_setup channel_setup_of(const watch_request& request, mqtt_link* mqtt,
                               std::size_t mqtt_place = 0);
// The watch's clock at `at`: the wall clock, or under a clock rate the wall clock of the
// watch's start running at that rate; every place of the watch on the same one.
double watch_time(double clock_rate, watch_clock::time_point at = watch_clock::now());
// Seconds of the watch's clock for `real_s` real seconds.
double on_watch_clock(const watch_request& request, double real_s);
// The time before a line, on the watch's clock: "HH:MM:SS ".
std::string stamp(const watch_request& request);
// A line about the watch itself on standard error (led by the place's name in a watch of
// several), and the service's status.
void tell(const watch_request& request, const std::string& text,
          line_priority priority = line_priority::warning);
// Tells the service manager, once, that the watch runs.
void tell_ready(bool& ready);
// In a bar's form, the answer of a place not found yet (`outcome`: unknown or failed).
void show_unsettled(const watch_loop& loop, town_status outcome, const std::string& why);
// The state document as published, with what the commands changed.
std::string published_state(const watch_loop& loop);
// The check's answer: the alert rules' step, its row in the track, the state published, the
// answer printed (or kept for the one bar of several places), the event to the channels.
void show_check(watch_loop& loop, check_answer& answer, double time_s,
                const std::function<void()>& on_signal);

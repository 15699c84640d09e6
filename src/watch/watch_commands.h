// What the broker tells a place's watch: Home Assistant's commands (what they change at the
// place is place_controls') and the positions of a place that follows a topic.
#pragma once

#include "mqtt/mqtt_link.h"
#include "report/report.h"
#include "watch/watch_loop.h"

// The place the checks ask for, where a command may have moved it.
report_request report_now(const watch_loop& loop);
// Takes the place to where a command moved it, before a check.
void follow_moves(watch_loop& loop);
// A place that moves: its latest position stands in for its coordinates.
void move_to_position(watch_loop& loop);
// With the setting on, the link hands the commands it hears to the watch.
void listen_to_commands(watch_loop& loop, mqtt_link& link);
// Each place that follows a topic hears of its positions over the link.
void follow_positions(watch_loop& loop, mqtt_link* link);

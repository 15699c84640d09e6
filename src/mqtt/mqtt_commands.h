// The commands Home Assistant sends to a watched place, as pure functions over plain data: the
// table of commands (each a topic <mqtt_topic>/<slug>/cmd/<name>, most of them an entity of the
// place's device) and the check of each payload.
#pragma once

#include "base/result.h"

#include <string>
#include <vector>

enum class command_kind { check_now, snooze, approaching_only, location };
constexpr std::size_t command_kinds = 4;

// The longest payload taken; a longer one is refused unread.
constexpr std::size_t longest_command_payload = 256;
// The longest snooze, in minutes.
constexpr int longest_snooze_min = 240;

// A checked command.
struct place_command {
    command_kind kind = command_kind::check_now;
    int snooze_min = 0;   // snooze: 0 lifts it
    bool on = false;      // approaching_only
    double latitude = 0;  // location
    double longitude = 0; // location
    std::string y, x;     // location, as decimal text
};

struct command_row {
    command_kind kind;
    const char* name; // the topic's last level
    // The payload checked; the problem in Polish when it is refused.
    result<place_command> (*parse)(const std::string& payload);
};
const std::vector<command_row>& command_table();

// The command of a topic's last level; nothing for a name not in the table.
const command_row* command_named(const std::string& name);
// The payload of the command `name` checked: its length first, then as the command takes it.
result<place_command> parse_command(const std::string& name, const std::string& payload);

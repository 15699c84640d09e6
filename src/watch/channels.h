// The alert channels: the watch hands each event to every enabled channel (the terminal, the
// desktop notification, the --exec command, the MQTT broker). A channel is a file of its own
// (*_channel.cpp) and a row of the table in channels.cpp.
#pragma once

#include "base/result.h"
#include "watch/colour.h"
#include "watch/watch_output.h"

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class mqtt_link;

// Where the terminal channel writes the event lines: standard output beside the check lines,
// standard error when standard output carries documents for a program, or nowhere when a status
// bar reads standard output (it shows standard error too); the event is in its object then.
enum class terminal_lines { off, standard_output, standard_error };

// `status_bar`: Waybar, i3blocks or a --format template; `for_programs`: those or --json.
terminal_lines terminal_lines_for(bool status_bar, bool for_programs, bool alerts_to_stderr);

// What the watch asks of its channels.
struct channel_setup {
    terminal_lines terminal = terminal_lines::standard_output;
    bool bell = false;          // with lines on standard output that is a terminal
    colour_codes colours;       // of the lines on standard output
    bool utf8 = true;           // the user's locale writes UTF-8
    bool notify = false;        // --notify
    std::string command;        // --exec; empty: none
    mqtt_link* mqtt = nullptr;  // the broker, when publishing
    std::size_t mqtt_place = 0; // the place's index on the link
    std::string place;          // a named place: its name leads the terminal's lines
};

// An event as every channel gets it.
struct alert_event {
    watch_event event = watch_event::none;
    event_facts facts;
    std::string line;              // event_line(event, facts), UTF-8
    std::optional<std::time_t> at; // when, on the watch's clock; none: now
};

class alert_channel {
  public:
    virtual ~alert_channel() = default;
    // Hands the event on; what went wrong, for the user.
    virtual result<void> deliver(const alert_event& event) = 0;
    // Collects the channel's commands that have ended and tells of a failed one; true while one
    // still runs.
    virtual bool collect() { return false; }
};

struct channel_row {
    const char* name;
    bool (*enabled)(const channel_setup& setup);
    std::unique_ptr<alert_channel> (*open)(const channel_setup& setup);
};
const std::vector<channel_row>& channel_table();

struct open_channel {
    const char* name;
    std::unique_ptr<alert_channel> channel;
};
// The channels `setup` enables, in the table's order.
std::vector<open_channel> open_channels(const channel_setup& setup);

// Hands the event to each channel in turn; a channel that fails is told on standard error and
// the others still get the event.
void deliver_to_all(std::vector<open_channel>& channels, const alert_event& event);
// True while a channel's command still runs.
bool collect_all(std::vector<open_channel>& channels);

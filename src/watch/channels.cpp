#include "watch/channels.h"

#include "service/journal.h"

// Each channel's file defines its row's functions.
bool terminal_enabled(const channel_setup& setup);
std::unique_ptr<alert_channel> open_terminal_channel(const channel_setup& setup);
bool notify_enabled(const channel_setup& setup);
std::unique_ptr<alert_channel> open_notify_channel(const channel_setup& setup);
bool exec_enabled(const channel_setup& setup);
std::unique_ptr<alert_channel> open_exec_channel(const channel_setup& setup);
bool mqtt_enabled(const channel_setup& setup);
std::unique_ptr<alert_channel> open_mqtt_channel(const channel_setup& setup);

const std::vector<channel_row>& channel_table() {
    static const std::vector<channel_row> table = {
        {"terminal", terminal_enabled, open_terminal_channel},
        {"notify", notify_enabled, open_notify_channel},
        {"exec", exec_enabled, open_exec_channel},
        {"mqtt", mqtt_enabled, open_mqtt_channel},
    };
    return table;
}

terminal_lines terminal_lines_for(bool status_bar, bool for_programs, bool alerts_to_stderr) {
    if (status_bar && !alerts_to_stderr) {
        return terminal_lines::off;
    }
    return for_programs || alerts_to_stderr ? terminal_lines::standard_error
                                            : terminal_lines::standard_output;
}

std::vector<open_channel> open_channels(const channel_setup& setup) {
    std::vector<open_channel> channels;
    for (const channel_row& row : channel_table()) {
        if (row.enabled(setup)) {
            channels.push_back({row.name, row.open(setup)});
        }
    }
    return channels;
}

void deliver_to_all(std::vector<open_channel>& channels, const alert_event& event) {
    for (open_channel& open : channels) {
        const result<void> delivered = open.channel->deliver(event);
        if (!delivered) {
            tell_error_stream(delivered.error(), line_priority::warning);
        }
    }
}

bool collect_all(std::vector<open_channel>& channels) {
    bool running = false;
    for (open_channel& open : channels) {
        running = open.channel->collect() || running;
    }
    return running;
}

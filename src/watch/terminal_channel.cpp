// The terminal channel: the event's line, marked and coloured, and the bell.
#include "output/line_form.h"
#include "output/waybar_form.h"
#include "service/journal.h"
#include "watch/channels.h"

#include <iostream>

namespace {

// Red for a storm and for one that came near, yellow for one closer, green for the all-clear.
const std::string& event_colour(const colour_codes& colours, watch_event event,
                                const watch_check& check) {
    switch (event) {
    case watch_event::storm:
    case watch_event::within_ring:
        return colours.red;
    case watch_event::closer:
        return check.nearest_km && *check.nearest_km <= near_strike_km ? colours.red
                                                                       : colours.yellow;
    case watch_event::all_clear:
        return colours.green;
    case watch_event::none:
        break;
    }
    return colours.plain;
}

class terminal_channel : public alert_channel {
  public:
    explicit terminal_channel(const channel_setup& setup) : setup_(setup) {}

    result<void> deliver(const alert_event& event) override {
        const std::string line = setup_.utf8 ? event.line : ascii_stand_ins(event.line);
        const std::string stamp = clock_time(event.at.value_or(std::time(nullptr))) + " " +
                                  (setup_.place.empty() ? "" : setup_.place + ": ");
        if (setup_.terminal == terminal_lines::standard_error) {
            tell_error_stream_always(stamp + line, line_priority::notice);
            return {};
        }
        const std::string& colour = event_colour(setup_.colours, event.event, event.facts.check);
        print_line(stamp + coloured(line, colour, setup_.colours), line_priority::notice);
        if (setup_.bell) {
            std::cout << '\a' << std::flush;
        }
        return {};
    }

  private:
    channel_setup setup_;
};

} // namespace

bool terminal_enabled(const channel_setup& setup) {
    return setup.terminal != terminal_lines::off;
}

std::unique_ptr<alert_channel> open_terminal_channel(const channel_setup& setup) {
    return std::make_unique<terminal_channel>(setup);
}

#include "output/i3blocks_form.h"

#include "output/ring.h"
#include "weather/reply_fields.h"

namespace {

constexpr int urgent_status = 33;

// The strikes and the distance of the nearest.
std::string short_text(const run_report& report) {
    if (!report.lightning) {
        return "B/D";
    }
    const lightning_report& lightning = *report.lightning;
    std::string text = std::to_string(lightning.count);
    if (lightning.count > 0 && lightning.distance_km) {
        text += " " + fixed_unsigned_zero(*lightning.distance_km, 1) + " km";
    }
    return text;
}

} // namespace

std::string i3blocks_colour(const run_report& report) {
    if (!report.lightning || oldest_stale_age(report)) {
        return "#808080";
    }
    if (strikes_in_ring(report)) {
        return "#FF0000";
    }
    return report.lightning->count > 0 ? "#FFA500" : "";
}

int i3blocks_exit_status(const run_report& report) {
    return strikes_in_ring(report) ? urgent_status : 0;
}

std::string i3blocks_block(const run_report& report, const std::string& full, bool streamed) {
    if (streamed) {
        return full;
    }
    const std::string colour = i3blocks_colour(report);
    return full + "\n" + short_text(report) + (colour.empty() ? "" : "\n" + colour);
}

#include "output/i3blocks_form.h"

#include "output/ring.h"
#include "text/json_text.h"
#include "weather/reply_fields.h"

#include <algorithm>

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

// A text i3blocks 1.4 reads back as it is: its JSON reader knows no escapes, a string ends at
// the next '"', so '"' becomes "'" and '\' becomes '/' (the rest needs no escape: the line has
// no control characters).
std::string without_escapes(std::string text) {
    std::replace(text.begin(), text.end(), '"', '\'');
    std::replace(text.begin(), text.end(), '\\', '/');
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

bool i3blocks_urgent(const run_report& report) {
    return strikes_in_ring(report);
}

int i3blocks_exit_status(const run_report& report) {
    return i3blocks_urgent(report) ? urgent_status : 0;
}

std::string i3blocks_block(const run_report& report, const std::string& full, bool streamed) {
    const std::string colour = i3blocks_colour(report);
    if (!streamed) {
        return full + "\n" + short_text(report) + (colour.empty() ? "" : "\n" + colour);
    }
    // i3blocks takes string values only, and writes "true" and "false" as i3bar's booleans.
    Json::Value object(Json::objectValue);
    object["full_text"] = without_escapes(full);
    object["short_text"] = short_text(report);
    if (!colour.empty()) {
        object["color"] = colour;
    }
    object["urgent"] = i3blocks_urgent(report) ? "true" : "false";
    return compact_json(object);
}

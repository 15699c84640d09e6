#include "output/places_bar.h"

#include "output/i3blocks_form.h"
#include "output/ring.h"
#include "output/waybar_form.h"

#include <limits>

namespace {

double nearest_or_far(const run_report& report) {
    const double far = std::numeric_limits<double>::max();
    if (!report.lightning || report.lightning->count == 0) {
        return far;
    }
    return report.lightning->distance_km.value_or(far);
}

// The place's line as a tooltip shows it: led by its name unless the line already is.
std::string tooltip_line(const bar_place& place) {
    return place.line.rfind(place.name + ":", 0) == 0 ? place.line : place.name + ": " + place.line;
}

} // namespace

int place_urgency(const run_report& report) {
    if (strikes_in_ring(report)) {
        return 3;
    }
    if (report.lightning && report.lightning->count > 0) {
        return 2;
    }
    return report.lightning ? 0 : 1;
}

std::size_t most_urgent_place(const std::vector<bar_place>& places) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < places.size(); ++i) {
        const int urgency = place_urgency(places[i].report);
        const int best_urgency = place_urgency(places[best].report);
        if (urgency > best_urgency ||
            (urgency == best_urgency &&
             nearest_or_far(places[i].report) < nearest_or_far(places[best].report))) {
            best = i;
        }
    }
    return best;
}

Json::Value waybar_places(const std::vector<bar_place>& places) {
    if (places.empty()) {
        return Json::Value(Json::objectValue);
    }
    const bar_place& urgent = places[most_urgent_place(places)];
    Json::Value object = waybar_object(urgent.report, tooltip_line(urgent), urgent.event);
    std::string tooltip;
    for (const bar_place& place : places) {
        tooltip += (tooltip.empty() ? "" : "\n") + tooltip_line(place);
    }
    object["tooltip"] = pango_escaped(tooltip);
    return object;
}

std::string i3blocks_places(const std::vector<bar_place>& places) {
    if (places.empty()) {
        return i3blocks_block(run_report{}, "", true);
    }
    const bar_place& urgent = places[most_urgent_place(places)];
    return i3blocks_block(urgent.report, tooltip_line(urgent), true);
}

// The status bars in a watch of several places: one object (or line) for all of them, from
// each place's latest check.
#pragma once

#include "report/report.h"

#include <json/json.h>

#include <string>
#include <vector>

// A place's latest check as a bar shows it.
struct bar_place {
    std::string name;
    run_report report;
    std::string line;  // its one-line form or template line
    std::string event; // the event of its latest check; empty when none
};

// How urgent a place's check is: 3 strikes inside its safety ring, 2 strikes in its radius,
// 1 no lightning answer, 0 calm.
int place_urgency(const run_report& report);
// The index of the most urgent place; among equals the one whose nearest strike is closest,
// then the first. 0 for none.
std::size_t most_urgent_place(const std::vector<bar_place>& places);
// Waybar: the text, class, percentage and alt of the most urgent place, a tooltip line each.
Json::Value waybar_places(const std::vector<bar_place>& places);
// i3blocks (streamed): the object of the most urgent place, its line led by its name.
std::string i3blocks_places(const std::vector<bar_place>& places);

// --history: a place's track with the approach estimate at each observation, as a table in
// Polish, as a JSON document (schema/history.schema.json) or as an SVG picture.
#pragma once

#include "approach/approach.h"
#include "store/track.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

struct history_record {
    std::string town;
    int hours = 3;
    double danger_km = 10;
    std::vector<track_row> rows;                             // oldest first
    std::vector<std::optional<approach_estimate>> estimates; // one per row
};

// The table, one line per observation, with its heading.
std::string history_table(const history_record& history);
// The document on one line.
std::string history_document(const history_record& history, std::time_t made_at);
// The picture: the nearest distance over time with the radius, the ring and the alerts, beside
// a map of the track around the town with the fitted motion.
std::string history_svg(const history_record& history);

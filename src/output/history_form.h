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
    double until_s = 0; // the end of the span shown: the time of the run (0: the newest row)
};

// The table, one line per observation, with its heading.
std::string history_table(const history_record& history);
// The document on one line.
std::string history_document(const history_record& history, std::time_t made_at);
// The picture: the chart of the nearest distance over the hours asked for, with the radius, the
// ring and the alerts, beside a map of the track around the town with the estimated motion;
// each with its legend.
std::string history_svg(const history_record& history);

// The ticks of a time axis from `from_s` to `to_s`: every 10, 15, 30 or 60 minutes (then 2, 3,
// 6, 12 or 24 hours), the first of these steps that gives at most `most` ticks, on round times
// of the local clock (`utc_offset_s` ahead of UTC).
struct time_ticks {
    double step_s = 0;
    std::vector<double> times_s;
};
time_ticks round_time_ticks(double from_s, double to_s, long utc_offset_s, int most);

// A label that wants to start at `x` and is `width` wide.
struct label_span {
    double x = 0;
    double width = 0;
};
// The lane (0 the top one) of each label such that no two labels in a lane come closer than
// `gap` and no label's line, from its lane down to the last, crosses another label; nothing
// for a label no lane has room for (it is left out).
std::vector<std::optional<int>> stagger_labels(const std::vector<label_span>& labels, int lanes,
                                               double gap);

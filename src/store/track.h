// The track of each watched place: one row per check that asked the service (table TRACK), for
// the approach estimate and --history, except that a run of quiet checks (no strikes, no event,
// the place where it was) keeps only its first and its last row. Only the watch, --json, --line
// and --history use it; the table is created on the first row. Rows older than a week are
// deleted as new ones come.
#pragma once

#include "base/result.h"

#include <optional>
#include <string>
#include <vector>

struct track_row {
    std::string place; // the town's name as the service gave it
    double latitude = 0;
    double longitude = 0;
    int radius_km = 0;
    double time_s = 0; // seconds since the epoch
    int strikes = 0;
    std::optional<double> nearest_km;
    std::string direction; // compass code; empty: none
    std::string event;     // the watch's event at this check ("blisko"); empty: none
};

// Writes the row (a second row for the same place, radius and time is ignored; a quiet row
// after two quiet ones from the same spot moves the newer of them to its time instead) and
// deletes the rows older than a week before `now_s`; on the run's shared connection when it has
// one. A failure says why when the database cannot take it.
result<void> record_track_row(const std::string& db_path, const track_row& row, double now_s);

// The place's rows from `since_s` on, oldest first; of one radius when given. Opens the file
// read-only: nothing is created, a missing file or table gives no rows.
std::vector<track_row> read_track(const std::string& db_path, const std::string& place,
                                  std::optional<int> radius_km, double since_s);

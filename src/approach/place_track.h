// The approach estimate over a place's track in the database (store/track.h).
#pragma once

#include "approach/approach.h"
#include "base/result.h"
#include "store/track.h"

#include <optional>
#include <string>
#include <vector>

struct track_place {
    std::string name;
    double latitude = 0;
    double longitude = 0;
    int radius_km = 0;
};

observation observation_of(const track_row& row);

// The place's observations of the last half hour before `until_s` (not at it), oldest first.
std::vector<observation> track_before(const std::string& db_path, const track_place& place,
                                      double until_s);
// The place's observations of the last half hour before `until_s`, oldest first, then `seen`
// when given.
std::vector<observation> track_until(const std::string& db_path, const track_place& place,
                                     double until_s, const std::optional<observation>& seen);

// Writes the observation (with the watch's event at it, empty for none) as the place's row; a
// failure says why not.
result<void> record_observation(const std::string& db_path, const track_place& place,
                                const observation& seen, const std::string& event, double now_s);

// The estimate at each row of a history (rows oldest first), over the rows of its radius up to it.
std::vector<std::optional<approach_estimate>> estimates_along(const std::vector<track_row>& rows,
                                                              double danger_km);

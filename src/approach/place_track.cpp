#include "approach/place_track.h"

#include <map>
#include <utility>

namespace {

constexpr double looked_back_s = 30 * 60;

} // namespace

observation observation_of(const track_row& row) {
    observation seen;
    seen.time_s = row.time_s;
    seen.strikes = row.strikes;
    seen.nearest_km = row.nearest_km;
    seen.direction = row.direction;
    return seen;
}

namespace {

// The observations of the rows, from the place's last jump on (a place that moves); `now`: where
// it is at the check.
std::vector<observation> since_last_jump(const std::vector<track_row>& rows, const place_at& now) {
    std::vector<place_at> where;
    where.reserve(rows.size());
    for (const track_row& row : rows) {
        where.push_back({row.time_s, row.latitude, row.longitude});
    }
    std::vector<observation> track;
    for (std::size_t i = track_start_after_jumps(where, now); i < rows.size(); ++i) {
        track.push_back(observation_of(rows[i]));
    }
    return track;
}

} // namespace

std::vector<observation> track_before(const std::string& db_path, const track_place& place,
                                      double until_s) {
    std::vector<track_row> rows;
    for (const track_row& row :
         read_track(db_path, place.name, place.radius_km, until_s - looked_back_s)) {
        if (row.time_s < until_s) {
            rows.push_back(row);
        }
    }
    return since_last_jump(rows, {until_s, place.latitude, place.longitude});
}

std::vector<observation> track_until(const std::string& db_path, const track_place& place,
                                     double until_s, const std::optional<observation>& seen) {
    std::vector<observation> track;
    for (const track_row& row :
         read_track(db_path, place.name, place.radius_km, until_s - looked_back_s)) {
        if (row.time_s < until_s || (!seen && row.time_s == until_s)) {
            track.push_back(observation_of(row));
        }
    }
    if (seen) {
        track.push_back(*seen);
    }
    return track;
}

result<void> record_observation(const std::string& db_path, const track_place& place,
                                const observation& seen, const std::string& event, double now_s) {
    track_row row;
    row.place = place.name;
    row.latitude = place.latitude;
    row.longitude = place.longitude;
    row.radius_km = place.radius_km;
    row.time_s = seen.time_s;
    row.strikes = seen.strikes;
    row.nearest_km = seen.nearest_km;
    row.direction = seen.direction;
    row.event = event;
    return record_track_row(db_path, row, now_s);
}

std::vector<std::optional<approach_estimate>> estimates_along(const std::vector<track_row>& rows,
                                                              double danger_km) {
    // Each radius is a track of its own: its observations, and the rows they come from.
    std::map<int, std::pair<std::vector<observation>, std::vector<std::size_t>>> tracks;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        auto& [track, from_rows] = tracks[rows[i].radius_km];
        track.push_back(observation_of(rows[i]));
        from_rows.push_back(i);
    }
    // One pass over each track: the window of the last half hour slides along it.
    std::vector<std::optional<approach_estimate>> estimates(rows.size());
    for (const auto& [radius, track_rows] : tracks) {
        const auto& [track, from_rows] = track_rows;
        std::size_t start = 0;
        for (std::size_t end = 0; end < track.size(); ++end) {
            while (track[end].time_s - track[start].time_s > looked_back_s) {
                ++start;
            }
            estimates[from_rows[end]] =
                estimate_approach(track.data() + start, track.data() + end + 1, danger_km);
        }
    }
    return estimates;
}

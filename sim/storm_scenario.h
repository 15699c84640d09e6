// Scripted storms played at a town in accelerated time, for demonstrations and the tests of
// the watch. A storm cell moves along a straight track over the town; every answer follows from
// where the cell is at the minute asked about, so it is the same for the same minute.
#pragma once

#include "generators.h"

#include <optional>
#include <string>

struct storm_scenario {
    std::string name = "none"; // none, approach, pass, cells, quiet
    double latitude = 0;       // the town the storm is played at
    double longitude = 0;
};

// True for the scenarios the simulator knows ("none" included).
bool known_scenario(const std::string& name);

// The lightning answer for a point `minute` minutes into the scenario; nothing without one.
//   approach: a cell of strikes first seen 80 km to the south-west, moving north-east over the
//             town at about 59 km/h, growing, then dying out 150 minutes in;
//   pass:     a cell as strong, first seen to the west-north-west, moving east-south-east at
//             the same speed; its nearest strikes pass the town about 15 km to the
//             north-north-east;
//   cells:    two steady cells, one about 20 km to the north drifting east and one about as far
//             to the south drifting west: the nearest strike jumps between them;
//   quiet:    no strikes anywhere.
std::optional<lightning> scenario_lightning(const storm_scenario& scenario, double latitude,
                                            double longitude, int promien, double minute);

// The true motion of the storm at the town at a minute: how fast its nearest strikes come closer
// and in how many minutes they are, on average, within `danger_km` (nothing: never); for the
// scenarios with one cell (approach, pass).
struct scenario_motion {
    double radial_kmh = 0;
    std::optional<double> minutes_to_ring;
};
std::optional<scenario_motion> scenario_truth(const storm_scenario& scenario, double minute,
                                              double danger_km);

// The thunderstorm warning level (0-3) the scenario puts in force at a point; nothing when the
// scenario says nothing about warnings.
std::optional<int> scenario_storm_warning(const storm_scenario& scenario, double latitude,
                                          double longitude, double minute);

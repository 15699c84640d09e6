// A place given by its coordinates (--near LAT,LON) instead of a town name.
#pragma once

#include <optional>
#include <string>

struct place_point {
    std::string y; // latitude, degrees north, decimal text as given
    std::string x; // longitude, degrees east
    double latitude = 0;
    double longitude = 0;
};

// "LAT,LON" in decimal degrees ("50.06,19.94", blanks allowed around either number): latitude
// within -90..90, longitude within -180..180, not both 0 (the point that a missing value
// gives). Nothing for anything else.
std::optional<place_point> place_point_of(const std::string& text);

// The place's name in the reports when none is given: "50.06, 19.94".
std::string place_point_name(const place_point& point);

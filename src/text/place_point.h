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

// Whether a point may stand for a place: latitude within -90..90, longitude within -180..180,
// not both 0 (the point that a missing value gives, and a phone without a fix reports). The one
// rule for --near, a place's near, the location command and a followed position.
bool usable_point(double latitude, double longitude);

// "LAT,LON" in decimal degrees ("50.06,19.94", blanks allowed around either number), a
// usable_point. Nothing for anything else.
std::optional<place_point> place_point_of(const std::string& text);

// The place's name in the reports when none is given: "50.06, 19.94".
std::string place_point_name(const place_point& point);

// The weather warnings report: the warning levels in force at the searched point.
#pragma once

#include <array>
#include <string>

// The meaning of each warning level 1 to 3, per hazard in the order frost, heat, wind,
// precipitation, thunderstorm, tornado.
extern const std::array<std::array<const char*, 3>, 6> warning_descriptions;

// A coordinate text as a float: leading blanks skipped, the longest leading decimal number
// with "." as its separator whatever the locale, 0 when the text does not begin with one.
float coordinate_value(const std::string& text);

// The report for the reply text of ostrzezenia_pogodowe at the point (y, x) of `city`; the
// empty text when the reply has no frost level (nothing is printed then).
std::string format_warnings_report(const std::string& reply, const std::string& city,
                                   const std::string& y, const std::string& x);

// Asks the storm service for the warnings at the point (y, x) and prints the report for
// `city`. Returns 0.
int get_warnings(std::string y, std::string x);

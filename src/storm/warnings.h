// The weather warnings report: the warning levels in force at the searched point.
#pragma once

#include <array>
#include <optional>
#include <string>

// A hazard of the warnings, in the order of the printed lines: frost, heat, wind,
// precipitation, thunderstorm, tornado.
struct hazard_kind {
    const char* element; // the reply element that carries the level ("traba")
    const char* id;      // a short stable ASCII name ("tornado"): --json
    const char* name;    // the Polish name in the one-line and template forms ("mróz")
    const char* label;   // the start of the report's line ("MRÓZ: ")
    std::array<const char*, 3> levels; // the meaning of each warning level 1 to 3
};

constexpr std::size_t hazard_count = 6;
extern const std::array<hazard_kind, hazard_count> warning_hazards;

// The warning levels of an ostrzezenia_pogodowe reply, as the service wrote them; "0" for a
// hazard whose element is missing.
struct warnings_report {
    std::array<std::string, hazard_count> levels;
};

// The record of a reply; nothing when the reply has no frost level (nothing is printed then).
std::optional<warnings_report> extract_warnings(const std::string& reply);
// A level that is one of "0", "1", "2", "3" as a number; nothing otherwise.
std::optional<int> warning_level(const std::string& level);
// The report's line for one hazard at `level`; empty for a level other than "1", "2", "3".
std::string hazard_line(std::size_t hazard, const std::string& level);
// The report's text for a record at the point (y, x) of `town`.
std::string warnings_text(const warnings_report& report, const std::string& town,
                          const std::string& y, const std::string& x);

// A coordinate text as a float: leading blanks skipped, the longest leading decimal number
// with "." as its separator whatever the locale, 0 when the text does not begin with one.
float coordinate_value(const std::string& text);

// The report for the reply text of ostrzezenia_pogodowe at the point (y, x) of `town`; the
// empty text when the reply has no frost level (nothing is printed then).
std::string format_warnings_report(const std::string& reply, const std::string& town,
                                   const std::string& y, const std::string& x);

// The lightning report: the strikes that the storm service registered around the town.
#pragma once

#include <optional>
#include <string>

// The usable part of a szukaj_burzy reply: each value as the service wrote it (control
// characters removed) and, where it is a usable number, as a number too.
struct lightning_report {
    std::string count_text; // a run of decimal digits that fits an int
    int count = 0;
    std::string period_text; // minutes of observation
    std::optional<int> period_min;
    std::string distance_text; // km to the nearest strike
    std::optional<double> distance_km;
    std::string direction; // compass code of the nearest strike ("NE")
    // The nearest distance when the newer forms' check found it beyond the radius (distance_km
    // is then unknown): the storm is at least that far.
    std::optional<double> beyond_km = std::nullopt;
};

// The record of a reply; nothing when the reply has no usable strike count (none, not a run of
// decimal digits, or beyond the range of int).
std::optional<lightning_report> extract_lightning(const std::string& reply);

// The report's text for a record: the strikes within `radius` km of `place`, as a sentence goes
// on after "od" ("miejscowości Kraków").
std::string lightning_text(const lightning_report& report, int radius, const std::string& place);

// The Polish name of a compass code ("NE"); empty for an unknown code.
std::string compass_name(const std::string& code);

// The Polish noun phrase that agrees with a strike count written as decimal digits; the empty
// text for a count that no rule covers (for example "00").
std::string strike_phrase(const std::string& bolt_count);

// The line printed instead of the report when the strikes could not be fetched.
std::string lightning_failure_message(const std::string& host);

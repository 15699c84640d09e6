// The lightning report: the strikes that the storm service registered around the town.
#pragma once

#include <string>

// The Polish noun phrase that agrees with a strike count written as decimal digits; the empty
// text for a count that no rule covers (for example "00").
std::string strike_phrase(const std::string& bolt_count);

// Fills `text` with the report for the reply text of szukaj_burzy and returns 0. Returns 1 and
// leaves `text` empty when the reply has no usable strike count (none, not a run of decimal
// digits, or beyond the range of int).
int format_lightning_report(const std::string& reply, int radius, const std::string& city,
                            std::string& text);

// The line printed instead of the report when the strikes could not be fetched.
std::string lightning_failure_message(const std::string& host);

// Asks the storm service for the strikes within `radius` km of the point (y, x) and prints the
// report for `city`. Returns 0, or 1 when no usable answer came.
int get_storm(std::string y, std::string x, int radius);

// The one-line output form, for status bars:
//   "Kraków: 7 wyładowań w 30 km, najbliższe 12.3 km NE | burza 2, wiatr 1 | 2.9°C"
//   "Kraków: brak wyładowań w 30 km | bez ostrzeżeń"
#pragma once

#include "report/report.h"

#include <string>

// The line of a run, without a line end; with `utf8` false, Polish letters and the degree sign
// are replaced by plain ASCII stand-ins.
std::string report_line(const run_report& report, bool utf8);

// How old a stale answer is: "(sprzed 45 s)", "(sprzed 12 min)".
std::string age_text(long age_s);

// Plain ASCII for a UTF-8 text: Polish letters lose their marks, "°" is dropped, any other
// non-ASCII character becomes "?".
std::string ascii_stand_ins(const std::string& text);

// The Polish noun form that agrees with a count: `one` for 1, `few` for 2-4, 22-24, ...,
// `many` otherwise.
const char* plural_form(long count, const char* one, const char* few, const char* many);

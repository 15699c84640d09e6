// The i3blocks output form. One run: the block's full text, its short text and its colour, a
// line each, and exit status 33 for an urgent block:
//   "Kraków: 7 wyładowań w 30 km, najbliższe 12.3 km NE | burza 2"
//   "7 12.3 km"
//   "#FFA500"
// The watch (a block with interval=persist and format=json): one object a check, since a
// persistent block reads only text from a plain line:
//   {"color":"#FF0000","full_text":"Kraków: ...","short_text":"7 3.0 km","urgent":"true"}
#pragma once

#include "report/report.h"

#include <string>

// The block of a run: `full` as given (the one-line form or the template's line); in the watch
// (`streamed`), the object of the check, as i3blocks 1.4 reads it: its texts without '"' and
// '\', no "color" when calm, "urgent" the string "true" or "false".
std::string i3blocks_block(const run_report& report, const std::string& full, bool streamed);
// The colour "#RRGGBB": red while strikes are inside the safety ring, orange for strikes in the
// radius, grey for a stale answer or none; empty when calm.
std::string i3blocks_colour(const run_report& report);
// Whether the block is urgent: strikes inside the safety ring, the last known ones too when
// the answer is stale (grey, and urgent: the safe side while they were that close).
bool i3blocks_urgent(const run_report& report);
// 33 (the block is urgent) when i3blocks_urgent, else 0.
int i3blocks_exit_status(const run_report& report);

// The i3blocks output form: the block's full text, its short text and its colour, a line each.
//   "Kraków: 7 wyładowań w 30 km, najbliższe 12.3 km NE | burza 2"
//   "7 12.3 km"
//   "#FFA500"
#pragma once

#include "report/report.h"

#include <string>

// The block of a run: `full` as given (the one-line form or the template's line); in the watch
// (`streamed`), whose block reads a line an update, the full text alone.
std::string i3blocks_block(const run_report& report, const std::string& full, bool streamed);
// The colour "#RRGGBB": red while strikes are inside the safety ring, orange for strikes in the
// radius, grey for a stale answer or none; empty when calm.
std::string i3blocks_colour(const run_report& report);
// 33 (the block is urgent) while strikes are inside the safety ring, else 0.
int i3blocks_exit_status(const run_report& report);

// --history: the options turned into a history of the place's track, printed or drawn.
#pragma once

#include "app/options.h"
#include "state/run_context.h"

// Prints the history (table or JSON) and writes the picture when --svg names a file; 0 when
// the place has observations, 1 when it has none or the picture cannot be written, 2 for a
// usage error.
int run_history_command(const run_context& context, const command_options& options);

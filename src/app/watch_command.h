// The watch as the command line asks for it: the options turned into a watch request.
#pragma once

#include "app/options.h"

// Runs the watch for the town (and radius) after the options; 2 for a usage error.
int run_watch_command(const command_options& options);

// The leading "--" options of the command line. Everything after them (a town and a radius,
// or "-s", "-h") goes to the classic dispatch unchanged.
#pragma once

#include "app/command_options.h"

#include <string>

// Reads the options that lead the command line; a command line that does not begin with "--"
// is left whole to the classic dispatch.
command_options parse_options(int argc, char** argv);

// Every option, grouped, with the exit statuses: the text of --help-all (help_all.cpp).
std::string help_all_text(const std::string& program_name);

// The two lines of a usage error: the culprit, then where to look.
std::string usage_error_text(const std::string& error);

// Writes usage_error_text(error) on standard error; the status of a usage error, 2.
int tell_usage_error(const std::string& error);

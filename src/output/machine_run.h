// The run of a machine-readable output form: gather the records, print one document or line.
#pragma once

#include "app/options.h"

#include <string>

// Prints the report of `town` in the chosen form on standard output; gives the exit status
// (0 when the lightning answer was given, else 1).
int print_machine_report(output_form form, const std::string& town, int radius_km);

// True when the user's locale (from the environment) writes UTF-8.
bool user_locale_is_utf8();

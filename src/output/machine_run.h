// The run of a machine-readable output form: gather the records, print one document or line.
#pragma once

#include "output/output_form.h"
#include "report/report.h"

// Gathers the report asked for and prints it in the chosen form on standard output; gives the
// exit status (see report_status).
int print_machine_report(output_form form, const report_request& request);

// True when the user's locale (from the environment) writes UTF-8.
bool user_locale_is_utf8();

// The run of a machine-readable output form: gather the records, print one document or line.
#pragma once

#include "output/output_form.h"
#include "report/report.h"
#include "state/run_context.h"

#include <string>

// Gathers the report asked for and prints it in the chosen form on standard output; gives the
// exit status (see report_status). A `format` template (--format) gives the line of the line and
// Waybar forms.
int print_machine_report(const run_context& context, output_form form,
                         const report_request& request, const std::string& format = std::string());
// The text of the line and Waybar forms: the template's line when there is a template, else the
// one-line form; `event` is the check's in the watch.
std::string machine_line(const run_report& report, const std::string& format,
                         const std::string& event, bool utf8);

// True when the user's locale (from the environment) writes UTF-8.
bool user_locale_is_utf8();

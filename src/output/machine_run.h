// The machine-readable output forms, one table of them: each renders a run's records, for one
// run (print_machine_report) and for each check of the watch alike.
#pragma once

#include "output/markup.h"
#include "output/output_form.h"
#include "output/places_bar.h"
#include "report/report.h"
#include "state/run_context.h"

#include <optional>
#include <string>
#include <vector>

// What a form renders: the records of a run and, in the watch, the check's event and the note
// after its line.
struct form_facts {
    const run_report& report;
    std::string format;     // --format: the line from this template; empty: the one-line form
    bool utf8 = true;       // the user's locale writes UTF-8 (the JSON forms are UTF-8 whatever)
    bool watch = false;     // one answer a check of the watch, streamed
    std::string event;      // the check's event ("burza", ...); empty when none, and outside
    std::string note;       // the watch's note after the one-line form: the estimate or the trend
    std::string place = {}; // the place's name in a watch of several places; empty otherwise
    markup escape = markup::none; // --escape: the markup the template's fields are made safe for
};

// How a watch streams a form on standard output, as the form's row in the table of forms says.
enum class watch_stream {
    timed_line, // for people: a line a check after its time, led by the place's name in a watch
                // of several places (the one-line form)
    document,   // for programs: a JSON document a check, nothing else (the place's name inside)
    bar_line,   // for a status bar: a template's line a check, nothing else (--format)
    bar_object, // for a status bar: an object a check, nothing else; in a watch of several
                // places, one object for all of them (render_places)
};

// The answer in the form, without a final line end; several lines for a form that has them.
std::string render_form(output_form form, const form_facts& facts);
// The watch's stream in `form` (`format`: the --format template, which makes a line a bar's).
watch_stream form_stream(output_form form, const std::string& format);
// A bar's one object for a watch of several places, from each place's latest check; none for a
// form whose stream prints each place's check on its own (not a bar_object).
std::optional<std::string> render_places(output_form form, const std::vector<bar_place>& places);
// The exit status of a run that printed the answer: the line (without a template) and JSON
// keep report_status for scripts; the status-bar forms exit 0, since a bar hides a module whose
// command fails, and say the state in their text (i3blocks: 33, urgent, while strikes are
// inside the safety ring).
int form_status(output_form form, const form_facts& facts);
// Whether the form is read by a program (every stream but the timed line): then standard output
// carries nothing else.
bool form_for_programs(output_form form, const std::string& format);
// True when a status bar reads the form (a bar's line or object).
bool form_for_bars(output_form form, const std::string& format);

// Gathers the report asked for and prints it in the chosen form on standard output; gives the
// exit status (form_status).
int print_machine_report(const run_context& context, output_form form,
                         const report_request& request, const std::string& format = std::string(),
                         markup escape = markup::none);
// True when the user's locale (from the environment) writes UTF-8.
bool user_locale_is_utf8();

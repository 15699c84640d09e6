#include "output/machine_run.h"

#include "output/i3blocks_form.h"
#include "output/json_form.h"
#include "output/line_form.h"
#include "output/ring.h"
#include "output/template_form.h"
#include "output/waybar_form.h"

#include <langinfo.h>
#include <locale.h>

#include <cstring>
#include <iostream>

namespace {

// The line of the line and status-bar forms: the template's, else the one-line form with the
// watch's note.
std::string form_line(const form_facts& facts, bool utf8) {
    if (!facts.format.empty()) {
        return template_line(facts.format, template_facts{facts.report, facts.event}, utf8,
                             facts.escape);
    }
    const std::string line = report_line(facts.report, true);
    const std::string noted = facts.note.empty() ? line : line + " | " + facts.note;
    return utf8 ? noted : ascii_stand_ins(noted);
}

std::string line_form(const form_facts& facts) {
    return form_line(facts, facts.utf8);
}

std::string json_form(const form_facts& facts) {
    Json::Value document = report_document(facts.report);
    if (facts.watch) {
        // The watch's line carries the estimate apart (the note); its document always does.
        document["approach"] = approach_value(shown_approach(facts.report));
        document["safe_at"] = safe_at_value(facts.report);
        document["event"] = facts.event.empty() ? Json::Value() : Json::Value(facts.event);
    }
    if (!facts.place.empty()) {
        document["place"] = facts.place;
    }
    return document_text(document);
}

// JSON and the bars are UTF-8 whatever the locale.
std::string waybar_form(const form_facts& facts) {
    return document_text(waybar_object(facts.report, form_line(facts, true), facts.event));
}

std::string i3blocks_form(const form_facts& facts) {
    return i3blocks_block(facts.report, form_line(facts, true), facts.watch);
}

int script_status(const form_facts& facts) {
    return report_status(facts.report);
}

// A template's line is for a bar; the one-line form for scripts too.
int line_status(const form_facts& facts) {
    return facts.format.empty() ? report_status(facts.report) : 0;
}

int bar_status(const form_facts&) {
    return 0;
}

int i3blocks_status(const form_facts& facts) {
    return i3blocks_exit_status(facts.report);
}

struct form_entry {
    output_form form;
    std::string (*render)(const form_facts& facts);
    int (*status)(const form_facts& facts);
    bool for_programs; // the line form with a template is too
    bool for_bars;     // a status bar reads it (and a template's line): no alerts on its streams
};

const form_entry forms[] = {
    {output_form::text, line_form, script_status, false, false},
    {output_form::json, json_form, script_status, true, false},
    {output_form::line, line_form, line_status, false, false},
    {output_form::waybar, waybar_form, bar_status, true, true},
    {output_form::i3blocks, i3blocks_form, i3blocks_status, true, true},
};

const form_entry& entry_of(output_form form) {
    for (const form_entry& entry : forms) {
        if (entry.form == form) {
            return entry;
        }
    }
    return forms[0];
}

} // namespace

std::string render_form(output_form form, const form_facts& facts) {
    return entry_of(form).render(facts);
}

int form_status(output_form form, const form_facts& facts) {
    return entry_of(form).status(facts);
}

bool form_for_programs(output_form form, const std::string& format) {
    return entry_of(form).for_programs || !format.empty();
}

bool form_for_bars(output_form form, const std::string& format) {
    return entry_of(form).for_bars || !format.empty();
}

bool user_locale_is_utf8() {
    const locale_t user = newlocale(LC_CTYPE_MASK, "", nullptr);
    if (user == nullptr) {
        return false;
    }
    const bool utf8 = std::strcmp(nl_langinfo_l(CODESET, user), "UTF-8") == 0;
    freelocale(user);
    return utf8;
}

int print_machine_report(const run_context& context, output_form form,
                         const report_request& request, const std::string& format, markup escape) {
    run_report report = gather_report(context.paths.database, request);
    add_approach(context.paths.database, report, request.danger_km);
    form_facts facts{report, format, user_locale_is_utf8(), false, "", ""};
    facts.escape = escape;
    std::cout << render_form(form, facts) << '\n' << std::flush;
    return form_status(form, facts);
}

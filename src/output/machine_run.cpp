#include "output/machine_run.h"

#include "output/i3blocks_form.h"
#include "output/json_form.h"
#include "output/line_form.h"
#include "output/places_bar.h"
#include "output/ring.h"
#include "output/template_form.h"
#include "output/waybar_form.h"

#include <langinfo.h>
#include <locale.h>

#include <cstring>
#include <iostream>
#include <iterator>

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

std::string waybar_places_form(const std::vector<bar_place>& places) {
    return document_text(waybar_places(places));
}

struct form_entry {
    output_form form;
    std::string (*render)(const form_facts& facts);
    int (*status)(const form_facts& facts);
    watch_stream stream; // a line form with a template streams a bar's line (form_stream)
    // A bar_object's one object for the places of a watch of several; null for other streams.
    std::string (*render_places)(const std::vector<bar_place>& places);
};

// The table of forms: a row each, in the order of output_form (checked below).
constexpr form_entry forms[] = {
    {output_form::text, line_form, script_status, watch_stream::timed_line, nullptr},
    {output_form::json, json_form, script_status, watch_stream::document, nullptr},
    {output_form::line, line_form, line_status, watch_stream::timed_line, nullptr},
    {output_form::waybar, waybar_form, bar_status, watch_stream::bar_object, waybar_places_form},
    {output_form::i3blocks, i3blocks_form, i3blocks_status, watch_stream::bar_object,
     i3blocks_places},
};

// True for the values of output_form. No default, and -Wswitch-enum is an error in this file: a
// form added to the enum does not compile until it is named here, and then the check below wants
// its row.
constexpr bool is_form(std::size_t value) {
    switch (static_cast<output_form>(value)) {
    case output_form::text:
    case output_form::json:
    case output_form::line:
    case output_form::waybar:
    case output_form::i3blocks:
        return true;
    }
    return false;
}

// Every form has exactly one row, at the form's place in the enum. (Whether a row renders the
// places of a watch of several is not checked here: under AddressSanitizer a function's address
// is no constant.)
constexpr bool a_row_each_in_order() {
    std::size_t count = 0;
    while (is_form(count)) {
        ++count;
    }
    bool ordered = count == std::size(forms);
    for (std::size_t i = 0; ordered && i < count; ++i) {
        ordered = static_cast<std::size_t>(forms[i].form) == i;
    }
    return ordered;
}
static_assert(a_row_each_in_order(), "the table of forms has one row for each output_form");

const form_entry& entry_of(output_form form) {
    return forms[static_cast<std::size_t>(form)]; // every form's row is at its place (above)
}

} // namespace

std::string render_form(output_form form, const form_facts& facts) {
    return entry_of(form).render(facts);
}

int form_status(output_form form, const form_facts& facts) {
    return entry_of(form).status(facts);
}

watch_stream form_stream(output_form form, const std::string& format) {
    const watch_stream stream = entry_of(form).stream;
    return stream == watch_stream::timed_line && !format.empty() ? watch_stream::bar_line : stream;
}

std::optional<std::string> render_places(output_form form, const std::vector<bar_place>& places) {
    const form_entry& entry = entry_of(form);
    if (entry.render_places == nullptr) {
        return std::nullopt;
    }
    return entry.render_places(places);
}

bool form_for_programs(output_form form, const std::string& format) {
    return form_stream(form, format) != watch_stream::timed_line;
}

bool form_for_bars(output_form form, const std::string& format) {
    const watch_stream stream = form_stream(form, format);
    return stream == watch_stream::bar_line || stream == watch_stream::bar_object;
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

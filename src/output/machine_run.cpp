#include "output/machine_run.h"

#include "output/json_form.h"
#include "output/line_form.h"
#include "output/template_form.h"
#include "output/waybar_form.h"

#include <langinfo.h>
#include <locale.h>

#include <cstring>
#include <iostream>

bool user_locale_is_utf8() {
    const locale_t user = newlocale(LC_CTYPE_MASK, "", nullptr);
    if (user == nullptr) {
        return false;
    }
    const bool utf8 = std::strcmp(nl_langinfo_l(CODESET, user), "UTF-8") == 0;
    freelocale(user);
    return utf8;
}

std::string machine_line(const run_report& report, const std::string& format,
                         const std::string& event, bool utf8) {
    return format.empty() ? report_line(report, utf8)
                          : template_line(format, template_facts{report, event}, utf8);
}

int print_machine_report(const run_context& context, output_form form,
                         const report_request& request, const std::string& format) {
    run_report report = gather_report(context.paths.database, request);
    add_approach(context.paths.database, report, request.danger_km);
    std::string text;
    if (form == output_form::json) {
        text = document_text(report_document(report));
    } else if (form == output_form::waybar) {
        // JSON is UTF-8 whatever the locale.
        text = document_text(waybar_object(report, machine_line(report, format, "", true), ""));
    } else {
        text = machine_line(report, format, "", user_locale_is_utf8());
    }
    std::cout << text << '\n' << std::flush;
    return report_status(report);
}

#include "output/machine_run.h"

#include "output/json_form.h"
#include "output/line_form.h"

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

int print_machine_report(output_form form, const report_request& request) {
    run_report report = gather_report(request);
    add_approach(report, request.danger_km);
    const std::string text = form == output_form::json ? document_text(report_document(report))
                                                       : report_line(report, user_locale_is_utf8());
    std::cout << text << '\n' << std::flush;
    return report_status(report);
}

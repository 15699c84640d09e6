#include "storm/storm_reports.h"

#include "state/run_state.h"
#include "storm/lightning.h"
#include "storm/storm_client.h"
#include "storm/storm_requests.h"
#include "storm/warnings.h"
#include "text/text.h"

#include <optional>

int get_warnings(const std::string& y, const std::string& x) {
    const storm_result reply = request_warnings(y, x);
    tell_storm_failure(reply);
    print_lines(format_warnings_report(reply.text, g_town, y, x));
    return 0;
}

int get_storm(const std::string& y, const std::string& x, int radius) {
    const storm_result reply = request_lightning(y, x, radius);
    tell_storm_failure(reply);
    const std::optional<lightning_report> report = extract_lightning(reply.text);
    print_lines(report ? lightning_text(*report, radius, "miejscowości " + g_town)
                       : lightning_failure_message(storm_host()));
    return report ? 0 : 1;
}

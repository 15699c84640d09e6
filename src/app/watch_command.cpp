#include "app/watch_command.h"

#include "app/requests.h"
#include "config/settings.h"
#include "output/machine_run.h"
#include "store/reply_cache.h"
#include "text/numbers.h"
#include "watch/watch_run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Every check goes through the reply cache, with a maximum age below the interval so that a
// check never shows the reply of the check before. A failed request stays a failure: a stale
// reply would show old strikes as new ones.
void use_reply_cache(const command_options& options, double every_s) {
    cache_policy& policy = reply_cache_policy();
    const long below_interval = static_cast<long>(every_s / 2);
    policy.enabled = true;
    policy.max_age_s = std::min(options.max_age_s.value_or(below_interval), below_interval);
    policy.use_stale = false;
}

} // namespace

int run_watch_command(const command_options& options) {
    const std::optional<report_request> report = report_request_of(options);
    if (!report) {
        std::fputs(options_usage(options.operands[0]).c_str(), stderr);
        return 2;
    }
    const watch_options& watch = options.watch;
    watch_request request;
    request.report = *report;
    request.every_s = watch.every_min * 60;
    use_reply_cache(options, request.every_s);
    request.json = options.form == output_form::json;
    request.utf8 = user_locale_is_utf8();
    request.rules.clear_after_s = watch.clear_after_min * 60;
    request.rules.cooldown_s = watch.cooldown_min * 60;
    request.rules.danger_km = report->danger_km;
    request.rules.approaching_only = watch.approaching_only;
    // For the simulator's accelerated storms: seconds of the track's clock per real second.
    const char* rate = std::getenv("NIMBROVATOR_CLOCK_RATE");
    const std::optional<double> clock_rate = rate ? decimal_value(rate) : std::nullopt;
    if (clock_rate && *clock_rate > 0 && *clock_rate <= 10000) {
        request.clock_rate = *clock_rate;
    }
    request.notify = watch.notify;
    request.command = watch.command;
    std::string problem;
    if (!mqtt_settings_of(settings_in_use(), watch.mqtt_url, request.mqtt, problem)) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    return run_watch(request);
}

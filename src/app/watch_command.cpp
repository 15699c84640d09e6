#include "app/watch_command.h"

#include "app/requests.h"
#include "output/machine_run.h"
#include "store/reply_cache.h"
#include "watch/watch_run.h"

#include <algorithm>
#include <cstdio>

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
    request.waybar = options.form == output_form::waybar;
    request.format = options.format;
    request.colour = watch.colour;
    request.utf8 = user_locale_is_utf8();
    request.rules.clear_after_s = watch.clear_after_min * 60;
    request.rules.cooldown_s = watch.cooldown_min * 60;
    request.notify = watch.notify;
    request.command = watch.command;
    return run_watch(request);
}

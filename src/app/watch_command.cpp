#include "app/watch_command.h"

#include "app/requests.h"
#include "config/settings.h"
#include "output/machine_run.h"
#include "service/journal.h"
#include "store/reply_cache.h"
#include "store/shared_connection.h"
#include "storm/storm_client.h"
#include "text/numbers.h"
#include "watch/schedule.h"
#include "watch/watch_run.h"
#include "weather/weather_fetch.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// The host of "host[:port]" or "[address]:port".
std::string host_part(const std::string& host_port) {
    if (!host_port.empty() && host_port[0] == '[') {
        return host_port.substr(1, host_port.find(']') - 1);
    }
    return host_port.substr(0, host_port.rfind(':'));
}

// Every check goes through the reply cache (see watch_max_age_s). A failed request stays a
// failure: a stale reply would show old strikes as new ones.
void use_reply_cache(const command_options& options, double every_s) {
    cache_policy& policy = reply_cache_policy();
    const bool loopback = is_loopback_host(storm_host());
    policy.enabled = true;
    policy.max_age_s = watch_max_age_s(options.max_age_s, every_s, loopback);
    policy.use_stale = false;
    if (!loopback && every_s < shortest_remote_interval_s) {
        tell_error_stream("Serwer " + storm_host() +
                              " nie jest na tym komputerze: każde zapytanie wysyłam do niego "
                              "najwyżej raz na minutę, a sprawdzenia pomiędzy korzystają z "
                              "ostatniej odpowiedzi.",
                          line_priority::notice);
    }
}

} // namespace

long watch_max_age_s(std::optional<long> max_age_s, double every_s, bool loopback) {
    const long below_interval = static_cast<long>(every_s / 2);
    const long max_age = std::min(max_age_s.value_or(below_interval), below_interval);
    return loopback ? max_age : std::max(max_age, static_cast<long>(shortest_remote_interval_s));
}

bool is_loopback_host(const std::string& host_port) {
    const std::string host = host_part(host_port);
    if (host == "localhost" || (host.size() > 10 && host.rfind(".localhost") == host.size() - 10)) {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

namespace {

// The watch of one place, as its options ask; none (after a usage error's message) when they
// name no place.
std::optional<watch_request> watch_request_of(const run_context& context,
                                              const command_options& options) {
    const std::optional<report_request> report = report_request_of(options, context.settings);
    if (!report) {
        return std::nullopt;
    }
    const watch_options& watch = options.watch;
    watch_request request;
    request.report = *report;
    request.db_path = context.paths.database;
    // For the simulator's accelerated storms: seconds of the watch's clock per real second. The
    // options' minutes are on that clock; the watch waits in real seconds.
    const char* rate = std::getenv("NIMBROVATOR_CLOCK_RATE");
    const std::optional<double> clock_rate = rate ? decimal_value(rate) : std::nullopt;
    if (clock_rate && *clock_rate > 0 && *clock_rate <= 10000) {
        request.clock_rate = *clock_rate;
    }
    request.every_s = watch.every_min * 60 / request.clock_rate;
    request.storm_remote = !is_loopback_host(storm_host());
    request.weather_remote = !is_loopback_host(weather_host());
    request.form = options.form;
    request.format = options.format;
    request.escape = options.escape;
    request.colour = watch.colour;
    request.utf8 = user_locale_is_utf8();
    request.rules.clear_after_s = watch.clear_after_min * 60 / request.clock_rate;
    request.rules.cooldown_s = watch.cooldown_min * 60 / request.clock_rate;
    request.rules.danger_km = report->danger_km;
    request.rules.approaching_only = watch.approaching_only;
    request.notify = watch.notify;
    request.checks = watch.checks;
    request.command = watch.command;
    request.alerts_to_stderr = watch.alerts_to_stderr;
    request.follow = options.follow;
    request.shared_town_place = options.shares_town ? options.place : "";
    return request;
}

} // namespace

int run_watch_command(const run_context& context, const std::vector<command_options>& each) {
    std::vector<watch_request> requests;
    for (const command_options& options : each) {
        std::optional<watch_request> request = watch_request_of(context, options);
        if (!request) {
            return tell_usage_error("brak miejsca po opcjach");
        }
        if (each.size() > 1) {
            request->place = options.place;
        }
        requests.push_back(std::move(*request));
    }
    const command_options& options = each.front();
    if (context.database != nullptr) {
        context.database->close(); // each check runs in a child process of its own
    }
    use_reply_cache(options, requests.front().every_s);
    std::string problem;
    std::optional<mqtt_settings> mqtt;
    if (!mqtt_settings_of(settings_in_use(), options.watch.mqtt_url, mqtt, problem)) {
        tell_error_stream_always(problem, line_priority::error); // the watch does not start
        return 1;
    }
    for (watch_request& request : requests) {
        request.mqtt = mqtt;
        if (!request.follow.empty() && !mqtt) {
            return tell_usage_error("miejsce " + request.report.town +
                                    " z kluczem follow wymaga serwera MQTT (--mqtt lub mqtt_url)");
        }
    }
    return run_watch(requests);
}

#include "storm/storm_requests.h"

#include "service/journal.h"
#include "state/run_deadline.h"
#include "state/run_state.h"
#include "store/reply_cache.h"
#include "storm/lightning.h"
#include "storm/storm_client.h"
#include "storm/warnings.h"

#include <future>
#include <map>
#include <set>

namespace {

// Ends a call on the process's client object.
storm_result finish(int status, std::string& text) {
    storm_result reply;
    reply.ok = status == 0;
    reply.failed = !reply.ok;
    reply.failure = end_storm_call(status);
    reply.library_report = storm_library_report();
    reply.text.swap(text);
    return reply;
}

// One call, on this thread's client object or (apart) on a context of its own.
storm_result make_call(bool apart, const std::function<int(std::string&)>& call) {
    std::string text;
    if (run_deadline_passed()) {
        // The run's time is up: nothing more goes out.
        storm_result late;
        late.failed = true;
        late.failure = {failure_cause::timeout, ""};
        return late;
    }
    if (!apart) {
        prepare_storm_request();
        return finish(call(text), text);
    }
    storm_result reply;
    reply.ok = call_apart([&] { return call(text); }, reply.failure) == 0;
    reply.failed = !reply.ok;
    reply.library_report = storm_library_report();
    reply.text.swap(text);
    return reply;
}

// The request through the reply cache: why a call failed stays with the result, also when a
// stale reply stands in for it. A reply the report cannot use is a malformed one.
template <typename Call, typename Usable>
storm_result through_cache(const std::string& key, Call call, Usable usable) {
    storm_result result;
    bool asked = false;
    const cached_reply reply =
        cached_request(g_db_path, reply_cache_policy(), key, [&]() -> std::optional<std::string> {
            asked = true;
            result = call();
            if (result.ok && !usable(result.text)) {
                result.failed = true;
                result.failure = {failure_cause::malformed, ""};
            }
            if (result.failed) {
                return std::nullopt;
            }
            return result.text;
        });
    result.asked = asked && reply.ok && !reply.stale;
    result.ok = reply.ok;
    result.text = reply.text;
    result.age_s = reply.age_s;
    result.stale = reply.stale;
    return result;
}

std::string warnings_key(const std::string& y, const std::string& x) {
    return storm_host() + " ostrzezenia_pogodowe " + y + " " + x;
}

std::string lightning_key(const std::string& y, const std::string& x, int radius) {
    return storm_host() + " szukaj_burzy " + y + " " + x + " " + std::to_string(radius);
}

storm_result fetch_warnings(const std::string& y, const std::string& x, bool apart) {
    const float latitude = coordinate_value(y);
    const float longitude = coordinate_value(x);
    return through_cache(
        warnings_key(y, x),
        [&] {
            return make_call(apart, [&](std::string& text) {
                return call_ostrzezenia_pogodowe(latitude, longitude, text);
            });
        },
        [](const std::string& text) { return extract_warnings(text).has_value(); });
}

storm_result fetch_lightning(const std::string& y, const std::string& x, int radius, bool apart) {
    return through_cache(
        lightning_key(y, x, radius),
        [&] {
            return make_call(
                apart, [&](std::string& text) { return call_szukaj_burzy(y, x, radius, text); });
        },
        [](const std::string& text) { return extract_lightning(text).has_value(); });
}

// Requests started ahead of their report, by their cache key.
std::map<std::string, std::future<storm_result>>& started() {
    static std::map<std::string, std::future<storm_result>> requests;
    return requests;
}

// The result of the request: the one started ahead when there is one, else asked now.
storm_result take(const std::string& key, const std::function<storm_result()>& ask_now) {
    auto ahead = started().find(key);
    storm_result result;
    if (ahead != started().end()) {
        result = ahead->second.get();
        started().erase(ahead);
    } else {
        result = ask_now();
    }
    return result;
}

} // namespace

storm_result request_town(const std::wstring& name) {
    return make_call(false, [&](std::string& text) { return call_miejscowosc(name, text); });
}

std::string storm_failure_message(const request_failure& failure, const char* what) {
    const std::string host = storm_host();
    switch (failure.cause) {
    case failure_cause::key_rejected:
        return "Serwis burzowy " + host + " odrzucił klucz.";
    case failure_cause::too_large:
        return "Odpowiedź serwera " + host + " jest za duża (ponad 1 MiB).";
    default:
        return std::string("Nie udało się pobrać ") + what + " z serwera " + host + ": " +
               failure_text(failure) + ".";
    }
}

void tell_storm_failure(const storm_result& result) {
    if (result.failed) {
        write_error_stream(result.library_report, line_priority::warning);
    }
}

void start_storm_reports(const std::string& y, const std::string& x, int radius) {
    // Nothing is set up here: a request that goes out sets up the client (call_apart).
    started()[warnings_key(y, x)] =
        std::async(std::launch::async, [y, x] { return fetch_warnings(y, x, true); });
    started()[lightning_key(y, x, radius)] = std::async(
        std::launch::async, [y, x, radius] { return fetch_lightning(y, x, radius, true); });
}

void forget_started_storm_reports() {
    started().clear();
}

storm_result request_warnings(const std::string& y, const std::string& x) {
    return take(warnings_key(y, x), [&] { return fetch_warnings(y, x, false); });
}

storm_result request_lightning(const std::string& y, const std::string& x, int radius) {
    return take(lightning_key(y, x, radius), [&] { return fetch_lightning(y, x, radius, false); });
}

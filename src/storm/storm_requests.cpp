#include "storm/storm_requests.h"

#include "app/run_state.h"
#include "store/reply_cache.h"
#include "storm/lightning.h"
#include "storm/storm_client.h"
#include "storm/warnings.h"

#include <iostream>
#include <sstream>

namespace {

// Ends a call: the fault description is taken (and shown) before the call's storage goes.
storm_result finish(int status, std::string& text) {
    storm_result reply;
    reply.ok = status == 0;
    if (!reply.ok) {
        std::ostringstream fault;
        storm_fault_report(fault);
        reply.fault = fault.str();
        std::cerr << reply.fault << std::flush;
    }
    release_storm_call();
    reply.text.swap(text);
    return reply;
}

// The request through the reply cache: the fault of a failed call stays with the result.
template <typename Call, typename Usable>
storm_result through_cache(const std::string& key, Call call, Usable usable) {
    storm_result result;
    const cached_reply reply =
        cached_request(db_full_path, reply_cache_policy(), storm_host() + " " + key,
                       [&]() -> std::optional<std::string> {
                           result = call();
                           if (!result.ok || !usable(result.text)) {
                               return std::nullopt;
                           }
                           return result.text;
                       });
    result.ok = reply.ok;
    result.text = reply.text;
    result.age_s = reply.age_s;
    result.stale = reply.stale;
    return result;
}

storm_result fetch_warnings(const std::string& y, const std::string& x) {
    const float latitude = coordinate_value(y);
    const float longitude = coordinate_value(x);
    prepare_storm_request();
    std::string text;
    const int status = call_ostrzezenia_pogodowe(latitude, longitude, text);
    return finish(status, text);
}

storm_result fetch_lightning(const std::string& y, const std::string& x, int radius) {
    prepare_storm_request();
    std::string text;
    const int status = call_szukaj_burzy(y, x, radius, text);
    return finish(status, text);
}

} // namespace

storm_result request_town(const std::wstring& name) {
    prepare_storm_request();
    std::string text;
    const int status = call_miejscowosc(name, text);
    return finish(status, text);
}

storm_result request_warnings(const std::string& y, const std::string& x) {
    return through_cache(
        "ostrzezenia_pogodowe " + y + " " + x, [&] { return fetch_warnings(y, x); },
        [](const std::string& text) { return extract_warnings(text).has_value(); });
}

storm_result request_lightning(const std::string& y, const std::string& x, int radius) {
    return through_cache(
        "szukaj_burzy " + y + " " + x + " " + std::to_string(radius),
        [&] { return fetch_lightning(y, x, radius); },
        [](const std::string& text) { return extract_lightning(text).has_value(); });
}

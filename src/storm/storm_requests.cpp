#include "storm/storm_requests.h"

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

} // namespace

storm_result request_town(const std::wstring& name) {
    prepare_storm_request();
    std::string text;
    const int status = call_miejscowosc(name, text);
    return finish(status, text);
}

storm_result request_warnings(const std::string& y, const std::string& x) {
    const float latitude = coordinate_value(y);
    const float longitude = coordinate_value(x);
    prepare_storm_request();
    std::string text;
    const int status = call_ostrzezenia_pogodowe(latitude, longitude, text);
    return finish(status, text);
}

storm_result request_lightning(const std::string& y, const std::string& x, int radius) {
    prepare_storm_request();
    std::string text;
    const int status = call_szukaj_burzy(y, x, radius, text);
    return finish(status, text);
}

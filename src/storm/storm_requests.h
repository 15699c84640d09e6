// The storm service's operations as the reports use them: one request each, giving the reply
// text or, for a failed call, why it failed. Nothing is printed here.
#pragma once

#include "text/failure_cause.h"

#include <string>

struct storm_result {
    bool ok = false;
    std::string text;           // the reply text (inner markup of the result) when ok
    bool failed = false;        // the request failed (a stale reply may stand in for it)
    request_failure failure;    // why, when it failed
    long age_s = 0;             // seconds since the reply was fetched (from the reply cache)
    bool stale = false;         // the request failed; this is the last usable reply
    bool asked = false;         // this run asked the service for the reply (not another run)
    std::string library_report; // the SOAP runtime's report of the failed call, when it failed
};

// The one line about a failed request for `what` ("danych o wyładowaniach atmosferycznych"):
// the host and the cause.
std::string storm_failure_message(const request_failure& failure, const char* what);
// The interactive report's word on a failed request: the client library's own report of the
// failure on standard error (nothing when the request did not fail).
void tell_storm_failure(const storm_result& result);

// The warnings and lightning requests go through the reply cache when its policy is on; a
// reply is usable when the report can be made from it.

storm_result request_town(const std::wstring& name);

// Starts the warnings and lightning requests for the point on threads of their own; the
// request_* calls below then take their results instead of asking again.
void start_storm_reports(const std::string& y, const std::string& x, int radius);
// Forgets the requests started and not taken (waiting for those still out): a process that
// makes one report after another starts each afresh.
void forget_started_storm_reports();
storm_result request_warnings(const std::string& y, const std::string& x);
storm_result request_lightning(const std::string& y, const std::string& x, int radius);

// The storm service's operations as the reports use them: one request each, giving the reply
// text or, for a failed call, the runtime's fault description (also written to standard error).
#pragma once

#include <string>

struct storm_result {
    bool ok = false;
    std::string text;       // the reply text (inner markup of the result) when ok
    std::string fault;      // the fault description when not ok
    long age_s = 0;         // seconds since the reply was fetched (from the reply cache)
    bool stale = false;     // the request failed; this is the last usable reply
    bool too_large = false; // the request failed on a reply over the length limit
    bool asked = false;     // this run asked the service for the reply (not another run)
};

// The warnings and lightning requests go through the reply cache when its policy is on; a
// reply is usable when the report can be made from it.

storm_result request_town(const std::wstring& name);

// Starts the warnings and lightning requests for the point on threads of their own; the
// request_* calls below then take their results instead of asking again.
void start_storm_reports(const std::string& y, const std::string& x, int radius);
storm_result request_warnings(const std::string& y, const std::string& x);
storm_result request_lightning(const std::string& y, const std::string& x, int radius);

// A short-lived cache of service replies in the program's database (table REPLY_CACHE), so
// that callers who ask often (status bars, scripts, the watch) spare the services' quotas and
// still answer when a service is down. The table is created on first use.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>

struct cache_policy {
    bool enabled = false;      // replies are read from and written to the cache
    long max_age_s = 0;        // a reply younger than this is used without asking the service
    long stale_limit_s = 3600; // older rows are deleted; younger ones may answer a failure
    bool use_stale = false;    // a failed request is answered from the last usable reply
};

// The policy of this process (off unless the command line switches it on).
cache_policy& reply_cache_policy();

struct cached_reply {
    bool ok = false; // a usable reply is given
    std::string text;
    long age_s = 0;     // seconds since the reply was fetched
    bool stale = false; // the request failed and this is the last usable reply
};

// How long a run may hold the claim on a request while it asks the service: longer than the
// longest request may take with its time-outs.
constexpr long claim_seconds = 45;
// A claim whose owner a waiting run sees stopped (SIGSTOP, a debugger) this long is taken over:
// the waiting run asks the service itself.
constexpr long stopped_owner_seconds = 10;

// The reply to the request `key` under the policy. `fetch` asks the service and gives the reply
// text when it is usable, nothing otherwise; only usable replies are stored. While one run
// fetches a reply, others asking for the same request wait for its row instead of asking too.
cached_reply cached_request(const std::string& db_path, const cache_policy& policy,
                            const std::string& key,
                            const std::function<std::optional<std::string>()>& fetch);

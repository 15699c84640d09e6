// Fetching and parsing the weather service's JSON replies.
#pragma once

#include "text/failure_cause.h"

#include <json/json.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// Where the weather requests go and how long they may take. The program uses the defaults
// (the configured host, 10 s to connect, 30 s for the whole transfer); tests point it at a
// local service and shorten the time-outs.
struct weather_endpoint {
    std::string base_url; // scheme and host[:port], no trailing slash
    long connect_timeout_ms;
    long transfer_timeout_ms;
    // Over https: the PEM file of the CAs trusted, and only those; empty: the system's CA
    // directory (/etc/ssl/certs, or $SSL_CERT_DIR). The server's name is checked either way.
    std::string ca_file = std::string();
};
weather_endpoint& weather_service_endpoint();

// A weather host setting, "https://host[:port]", "http://host[:port]" or "host[:port]" (plain
// HTTP, as the service was first reached), as its scheme ("http" or "https") and host[:port].
// Another scheme is left in the host.
struct weather_address {
    std::string scheme;
    std::string host;
};
weather_address split_weather_address(const std::string& setting);

// The weather service of this run: its host setting, the CA file for https (empty: the
// system's) and the key (the built-in ones until this is called). Points
// weather_service_endpoint() at the host.
void use_weather_service(const std::string& host_setting, const std::string& ca_file,
                         const std::string& key);
// The service's host[:port] without the scheme, as shown in the program's messages.
const std::string& weather_host();
// The port requests go to when the host names none: 443 for https, else 80.
int weather_default_port();

// A reply body larger than this is refused and treated like a malformed reply.
constexpr std::size_t max_weather_reply_bytes = std::size_t{1024} * 1024;

// The town as it goes into the query after "q=": percent-encoded, so that spaces, Polish
// letters and the characters &, # and = cannot change the query.
std::string escape_town(const std::string& town);
// Path and query of the two requests, with the service key appended.
std::string current_weather_path(const std::string& town);
std::string daily_forecast_path(const std::string& town, unsigned days);
// The same for a point (latitude and longitude as decimal texts): "lat=...&lon=..." instead of
// the town's name.
std::string current_weather_path_at(const std::string& latitude, const std::string& longitude);
std::string daily_forecast_path_at(const std::string& latitude, const std::string& longitude,
                                   unsigned days);

// What one request brought: the transfer's outcome, the HTTP status and the body.
struct weather_reply {
    bool transferred = false; // the transfer completed (whatever the HTTP status)
    long http_status = 0;
    std::string body;
    long retry_after_s = -1;        // the reply's Retry-After, when it has one
    long age_s = 0;                 // seconds since the reply was fetched (from the reply cache)
    bool stale = false;             // the request failed; this is the last usable reply
    bool untrusted = false;         // the server's certificate was refused: nothing was sent
    std::string failure;            // why the transfer failed, in the transfer library's words
    request_failure failure_reason; // the same as a cause, when the transfer failed
    bool too_large = false;         // the body was longer than max_weather_reply_bytes
    // With a stale reply: the request that failed, so that the failure can be named.
    std::shared_ptr<const weather_reply> failed_request;
};
// One GET, through the reply cache when its policy is on; only usable replies (HTTP 200 with a
// JSON object that has "main" or "list") are stored.
weather_reply fetch_weather(const std::string& path_and_query);
// Starts the requests (paths as made by the *_path functions) on threads of their own;
// fetch_weather then takes their replies instead of asking again. A path started or supplied
// before is not asked again.
void start_weather_requests(const std::vector<std::string>& paths);
// The reply that the next fetch_weather for the path takes instead of asking: one had before
// (the watch asks for the weather beside its checks and hands the reply to a later check).
void supply_weather_reply(const std::string& path_and_query, const weather_reply& reply);
// Forgets the replies started or supplied and not taken (waiting for requests still out): a
// process that makes one report after another starts each afresh.
void forget_weather_replies();

// One GET each; the reply body, or an empty text when nothing usable arrived.
std::string fetch_current_weather(const std::string& town);
std::string fetch_daily_forecast(const std::string& town, unsigned days);

// The write callback: appends the chunk to the response text (a std::string). A body that
// would grow past max_weather_reply_bytes is dropped and the transfer aborted.
std::size_t append_to_response(char* chunk, std::size_t size, std::size_t count, void* response);

// Parses a reply into `document`; false (and a null document) when it is not usable JSON.
bool parse_weather_document(const std::string& text, Json::Value& document);
// Parses a reply; on failure prints the parse-failure message and returns a null document.
// Leaves the English process locale.
Json::Value parse_weather_json(const std::string& text);

// True when the reply's "message" is the service's unknown-town text.
bool is_unknown_town_reply(const Json::Value& document);
// Prints the not-found line when the reply's "message" is the service's unknown-town text.
void check_service_error(const Json::Value& document);

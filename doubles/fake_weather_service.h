// A local stand-in for the weather service: a real HTTP or HTTPS server on 127.0.0.1 that answers
// the current-weather and daily-forecast paths with configurable replies and records every
// request.
#pragma once

#include <json/json.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the service sends for one path.
struct fake_reply {
    std::string body;                // sent in one piece with a Content-Length
    std::vector<std::string> chunks; // when not empty: sent with chunked encoding, piece by piece
    bool silent = false;             // send nothing until the service stops (at most 10 s)
    int status = 200;
    int delay_ms = 0; // wait this long before answering (cut short when the service stops)
    // When above 0: `body` goes out one byte per interval, with its full Content-Length.
    int trickle_interval_ms = 0;
    // When 0 or more: the full Content-Length of `body` is announced, only this many bytes of
    // it are sent, then the connection is closed.
    long cut_after_bytes = -1;
};

// Makes the reply for one request from its path and raw query (the text after '?').
using fake_handler = std::function<fake_reply(const std::string& path, const std::string& query)>;

struct fake_weather_service;
struct fake_weather_service_stopper {
    void operator()(fake_weather_service* service) const;
};
using fake_weather_service_handle =
    std::unique_ptr<fake_weather_service, fake_weather_service_stopper>;

// Starts the service on 127.0.0.1; port 0 takes a free port. Null when the port cannot be bound.
fake_weather_service_handle start_fake_weather_service(int port = 0);
// The same service behind TLS with the given certificate chain and key (PEM files); null also
// when they cannot be loaded.
fake_weather_service_handle start_fake_weather_service_tls(const std::string& cert_file,
                                                           const std::string& key_file,
                                                           int port = 0);

int fake_service_port(const fake_weather_service& service);
// "http://127.0.0.1:PORT", or "https://..." behind TLS
std::string fake_service_base_url(const fake_weather_service& service);

extern const char* const current_weather_endpoint; // "/data/2.5/weather"
extern const char* const daily_forecast_endpoint;  // "/data/2.5/forecast/daily"

// The reply for one path; a path without a reply answers 404 with an empty body.
void set_fake_reply(fake_weather_service& service, const std::string& path, fake_reply reply);

// Until changed, requests for the path are answered by `handler`, which takes precedence over
// a reply set with set_fake_reply.
void set_fake_handler(fake_weather_service& service, const std::string& path, fake_handler handler);
// Whether requests are recorded (they are, unless turned off: a long-running service may).
void set_fake_recording(fake_weather_service& service, bool record);

// Every request received, in order, as path and raw query ("/data/2.5/weather?q=...").
std::vector<std::string> recorded_requests(const fake_weather_service& service);
// How many requests a path has received.
int endpoint_hits(const fake_weather_service& service, const std::string& path);

// Canned replies shaped like the service's own.
// A full current-weather reply: 18.3 °C, 55 %, 1012 hPa, wind 3.6 m/s gusting 7.2 m/s from
// 270°, 40 % cloud, "bezchmurnie", measured 2017-05-06 14:30 UTC.
Json::Value full_current_weather();
// One day of a daily forecast (no rain member; add one with day["rain"] = mm).
Json::Value forecast_day(std::time_t time, double min, double max, int humidity, int pressure,
                         double speed, const std::string& description);
// A daily-forecast reply holding the given days.
Json::Value daily_forecast(const std::vector<Json::Value>& days);
// The service's reply for an unknown town.
std::string not_found_reply();
// A valid JSON object of exactly the given size (at least 64 bytes) that, read whole, is the
// unknown-town reply.
std::string padded_not_found_reply(std::size_t bytes);
// Compact JSON text of a document.
std::string json_text(const Json::Value& document);

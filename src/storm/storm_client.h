// The storm service client. A `storm_client` holds everything of one service: its settings
// (host, CA file, key, where requests go, time-outs), the SOAP client object, the TLS context and
// the connection kept between requests. Nothing of it is set up until a request goes out, so a
// run answered from the caches only reads the database.
//
// The process has one client, made from the run's settings (use_storm_service); the functions
// below reach it. A request runs as: prepare_storm_request(), one call_* operation, then
// end_storm_call() with its status, which tells why a failed call failed and frees the call's
// storage. call_apart runs a request on a context of its own, for requests on other threads.
#pragma once

#include "text/failure_cause.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// The connection's time-outs in seconds and the largest reply accepted, in bytes (HTTP headers
// included).
struct storm_limits {
    int connect_timeout = 10;
    int send_timeout = 15;
    int recv_timeout = 15;
    int transfer_timeout = 30;
    unsigned long recv_maxlength = 1048576;
};

// The storm service of a client.
struct storm_service_settings {
    std::string host;    // host[:port], as the program's messages show it
    std::string ca_file; // the CAs trusted (empty: the system's trust store)
    std::string key;     // empty: the built-in one
    // Where requests go; empty: "https://" + host + "/soap.php". The envelope and the SOAPAction
    // name the host either way.
    std::string endpoint_url;
    storm_limits limits;
    // The pause before the service is asked again for the same town.
    std::chrono::milliseconds lookup_retry_pause{1000};
};

// The service the program was built for, with the default limits.
storm_service_settings built_in_storm_service();
// The key the program was built with.
std::string built_in_storm_key();

class storm_client {
  public:
    // Sets up nothing: the SOAP client object and its TLS context come with the first request.
    explicit storm_client(storm_service_settings settings);
    ~storm_client();
    storm_client(const storm_client&) = delete;
    storm_client& operator=(const storm_client&) = delete;

    const storm_service_settings& settings() const;

    // Its set-up, its connection and the storage of its calls (storm_client.cpp).
    struct state;
    state& own() const { return *state_; }

  private:
    std::unique_ptr<state> state_;
};

// The process's client from now on: one for `settings` (the one before, with its connection and
// TLS context, is gone). Requests then go out exactly as from a build configured with these
// values: endpoint, namespace in the envelope and SOAPAction all name the host.
void use_storm_service(const storm_service_settings& settings);
// The same for the run's host[:port], CA file (empty: the system's trust store) and key (empty:
// the built-in one), with the program's own limits.
void use_storm_service(const std::string& host, const std::string& ca_file, const std::string& key);
// The settings of the process's client (the built-in service when none was chosen).
const storm_service_settings& storm_settings();

// "https://" + the configured storm host + "/soap.php".
std::string storm_default_endpoint();
// The configured storm host (host[:port]), as shown in the program's messages.
std::string storm_host();

// Closes the connection kept between requests; the next request opens a new one. Tests close
// it before they stop a service they started, which would otherwise wait for it to go idle.
void close_storm_connection();

// Makes the client object (once), assembles the key into storm_key, installs the SOAP header,
// initialises TLS (once). Nothing of it happens in a run that sends no request.
void prepare_storm_request();

// The service's operations; each returns 0 on success, else the runtime's error code.
// `reply` is emptied once the request has been sent and receives the reply text (the inner
// markup of the result element) only on success.
int call_key_api(const std::string& klucz, bool& verdict);
int call_miejscowosc(const std::wstring& nazwa, std::string& reply);
int call_ostrzezenia_pogodowe(float y, float x, std::string& reply);
int call_szukaj_burzy(const std::string& y, const std::string& x, int promien, std::string& reply);
int call_skrot(const std::string& kierunek, std::string& reply);

// Runs `call` (one call_* operation) on a client context of its own, so that requests can run on
// several threads at once; gives its status, and why a failed call failed in `failure`. It sets
// up the process's client object first (prepare_storm_request), so the first request that goes
// out makes the client and its TLS context, on whichever thread it runs.
int call_apart(const std::function<int()>& call, request_failure& failure);

// The runtime's fault text of the last failed call, with its detail (such as the reason a
// certificate was refused); empty after a success.
std::string storm_fault_text();
// The TLS library's words in a fault text, on one line: "SSL_ERROR_*" lines dropped, error
// codes cut off.
std::string storm_tls_reason(const std::string& fault);
// Frees the storage of the last call.
void release_storm_call();

// Ends a request: why it failed when `status` is not 0 (nothing is printed), then the release.
request_failure end_storm_call(int status);
// The SOAP runtime's own report of the last call that end_storm_call ended on this thread, when
// it failed: what the interactive report shows on standard error. Empty after a success.
std::string storm_library_report();

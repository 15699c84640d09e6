// The storm service client: one SOAP client object per process, reached through these
// functions. Every request runs as: prepare_storm_request(), one call_* operation, then
// finish_storm_call() with its status.
#pragma once

#include "text/failure_cause.h"

#include <functional>
#include <string>

// "https://" + the configured storm host + "/soap.php".
std::string storm_default_endpoint();
// The configured storm host (host[:port]), as shown in the program's messages.
std::string storm_host();

// The storm service of this run: host[:port], the CA file (empty: the system's trust store) and
// the key (empty: the built-in one). Requests then go out exactly as from a build configured
// with these values: endpoint, namespace in the envelope and SOAPAction all name the host.
void use_storm_service(const std::string& host, const std::string& ca_file, const std::string& key);
// The key the program was built with.
std::string built_in_storm_key();

// Tests only: send this process's requests to another endpoint URL and trust another CA file
// (empty: the system's trust store). The TLS context is set up again on the next request.
void set_storm_endpoint(const std::string& endpoint_url, const std::string& ca_file);

// The connection's time-outs in seconds and the largest reply accepted, in bytes (HTTP headers
// included). The defaults are the program's own; tests shorten them.
struct storm_limits {
    int connect_timeout = 10;
    int send_timeout = 15;
    int recv_timeout = 15;
    int transfer_timeout = 30;
    unsigned long recv_maxlength = 1048576;
};

// Closes the connection kept between requests; the next request opens a new one. Tests close
// it before they stop a service they started, which would otherwise wait for it to go idle.
void close_storm_connection();

// Tests only: limits for this process's later requests (storm_limits{} restores the defaults).
void set_storm_limits(const storm_limits& limits);

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

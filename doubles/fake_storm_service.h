// A local stand-in for the storm service: a real HTTPS server on 127.0.0.1 that records every
// request and answers with configurable replies shaped like the service's own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One request as it arrived.
struct fake_storm_request {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

// What the service sends for one request.
struct fake_storm_reply {
    int status = 200;
    std::string body;
    std::string content_type = "text/xml; charset=utf-8";
    // Wait this long before answering (cut short when the service stops): a silent server.
    int delay_ms = 0;
    // When above 0: the body goes out one byte per interval, with its full Content-Length.
    int trickle_interval_ms = 0;
    // When 0 or more: the full Content-Length of the body is announced, only this many bytes of
    // it are sent, then the connection is closed.
    long cut_after_bytes = -1;
};

using fake_storm_handler = std::function<fake_storm_reply(const fake_storm_request&)>;

struct fake_storm_service;
struct fake_storm_service_stopper {
    void operator()(fake_storm_service* service) const;
};
using fake_storm_service_handle = std::unique_ptr<fake_storm_service, fake_storm_service_stopper>;

// Starts the service on 127.0.0.1 with the given certificate chain and key (PEM files); port 0
// takes a free port. Null when the files cannot be used or the port cannot be bound.
fake_storm_service_handle start_fake_storm_service(const std::string& cert_file,
                                                   const std::string& key_file, int port = 0);

int fake_storm_port(const fake_storm_service& service);
// "https://localhost:PORT/soap.php"
std::string fake_storm_endpoint(const fake_storm_service& service);

// Until changed, every request is answered by `handler` (the default answers a SOAP Fault).
void set_fake_storm_handler(fake_storm_service& service, fake_storm_handler handler);
// Until changed, every request gets `reply`.
void set_fake_storm_reply(fake_storm_service& service, fake_storm_reply reply);

// Whether requests are recorded (they are, unless turned off: a long-running service may).
void set_fake_storm_recording(fake_storm_service& service, bool record);

// Every request received so far, in order.
std::vector<fake_storm_request> fake_storm_requests(const fake_storm_service& service);

// The value of a request header, its name matched without regard to case; empty when absent.
std::string request_header(const fake_storm_request& request, const std::string& name);
// The operation named by the request's SOAPAction (the part after '#', quotes removed).
std::string soap_operation(const fake_storm_request& request);

// Reply bodies as the service writes them: the XML declaration, a newline, then the whole
// envelope on one line with every namespace and the encoding style declared on the Envelope.
// `inner_markup` goes inside the element "ns1:<operation>Response".
std::string soap_reply(const std::string& operation, const std::string& inner_markup);
// "<return xsi:type=\"TYPE\">CONTENT</return>"; CONTENT is markup, written as given.
std::string soap_return(const std::string& xsi_type, const std::string& content);
// The result of szukaj_burzy: a return element of type ns2:MyComplexTypeBurza with its four
// fields; `kierunek` is markup, written as given.
std::string burza_return(int liczba, const std::string& odleglosc, const std::string& kierunek,
                         int okres);
// A SOAP Fault envelope; `code` such as "SOAP-ENV:Client", `text` is escaped.
std::string soap_fault(const std::string& code, const std::string& text);
// A SOAP Fault with HTTP status 500, as the service sends it.
fake_storm_reply soap_fault_reply(const std::string& code, const std::string& text);

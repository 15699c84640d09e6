// Why a request to a service failed, as the user reads it: one cause, named once, whichever
// service and client it comes from.
#pragma once

#include <string>

enum class failure_cause {
    refused,         // nothing listens at the host's port
    name_unresolved, // the host's name gives no address
    timeout,         // no answer in time
    certificate,     // the server's certificate was refused
    key_rejected,    // the service refused the key
    malformed,       // the reply could not be read
    too_large,       // the reply was longer than the largest accepted
    server_error,    // the service answered with an error of its own
    broken,          // the connection failed otherwise
};

struct request_failure {
    failure_cause cause = failure_cause::broken;
    std::string detail; // the TLS library's reason, the server's own text; may be empty
};

// "połączenie odrzucone", "certyfikat serwera niezaufany (certificate has expired)": the cause,
// then the detail (control characters removed) in brackets.
std::string failure_text(const request_failure& failure);

// libcurl, loaded when the first weather request goes out: a run that sends none (one served
// from the reply cache, -h, --version) neither loads it nor the libraries it brings.
#pragma once

#include <curl/curl.h>

// The functions of libcurl that the weather requests use.
struct curl_functions {
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    CURLcode (*easy_perform)(CURL* handle);
    CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
    void (*easy_cleanup)(CURL* handle);
    void (*easy_reset)(CURL* handle);
    const char* (*easy_strerror)(CURLcode code);
};

// libcurl loaded and set up (once, safe on any thread); null when it cannot be loaded or set
// up (the requests then fail like transfers that did not complete).
const curl_functions* curl_library();

// Answers of the two simulated services, one request at a time: pure functions from a request,
// the simulator's settings and the time to the reply and a one-line summary for the log.
#pragma once

#include "fake_storm_service.h"
#include "fake_weather_service.h"
#include "generators.h"
#include "storm_scenario.h"
#include "towns.h"

#include <ctime>
#include <string>

struct sim_settings {
    std::string storm_key;      // the accepted klucz
    std::string weather_key;    // the accepted APPID
    std::string fault = "none"; // none, close, slow, garbage, http500, soap-fault
    int delay_ms = 0;
    storm_scenario storm; // a scripted storm instead of the generators' weather
};

// True for the fault modes the simulator knows.
bool known_fault(const std::string& fault);

// A number as the storm service writes a float: up to 14 significant digits ("50.0614").
std::string soap_float(double value);
// Text of an XML element's content with the five predefined entities and character references
// decoded.
std::string xml_unescape(const std::string& text);
// The content of the first element named `name` (no prefix) at or after `from`, decoded; empty
// when there is none.
std::string xml_element_text(const std::string& xml, const std::string& name, std::size_t from = 0);
// The operation of a storm request: from its SOAPAction, else the first element of the Body.
std::string storm_operation(const fake_storm_request& request);
// The klucz of the request's SOAP header; empty when there is none.
std::string header_key(const fake_storm_request& request);

// The result elements of the operations.
std::string miejscowosc_return(const sim_town* town);
std::string ostrzezenia_return(const warning_levels& levels);
std::string lightning_return(const lightning& strikes);

struct storm_answer {
    fake_storm_reply reply;
    std::string summary; // operation, town or point, and the answer in short
};
// `storm_minute`: how far the scripted storm has got, in simulated minutes.
storm_answer answer_storm_request(const fake_storm_request& request, const sim_settings& settings,
                                  std::time_t now, double storm_minute = 0);

// Percent-decoding of a query value ('+' as a space).
std::string percent_decode(const std::string& text);
// The decoded value of a query key (matched without regard to case); empty when absent.
std::string query_value(const std::string& query, const std::string& key);

struct weather_answer {
    fake_reply reply;
    std::string summary;
};
weather_answer answer_weather_request(const std::string& path, const std::string& query,
                                      const sim_settings& settings, std::time_t now);

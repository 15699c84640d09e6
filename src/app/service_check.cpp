#include "app/service_check.h"

#include "config/settings.h"
#include "mqtt/broker_check.h"
#include "state/run_state.h"
#include "storm/storm_client.h"
#include "text/failure_cause.h"
#include "text/text.h"
#include "weather/weather_fetch.h"

#include <stdsoap2.h>

#include <algorithm>
#include <iostream>

namespace {

check_result storm_verdict(int status, bool accepted, const std::string& fault,
                           const request_failure& failure) {
    switch (status) {
    case SOAP_OK:
        return accepted ? check_result{check_verdict::works, ""}
                        : check_result{check_verdict::key_rejected, "KeyAPI: false"};
    case SOAP_CLI_FAULT:
    case SOAP_SVR_FAULT:
    case SOAP_FAULT:
        return {check_verdict::key_rejected, fault};
    case SOAP_SSL_ERROR:
        return {check_verdict::untrusted, storm_tls_reason(fault)};
    case SOAP_TCP_ERROR:
    case SOAP_EOF:
        return {check_verdict::unreachable, failure_text(failure)};
    default:
        break;
    }
    const bool http = status >= 100 && status < 600;
    return {check_verdict::bad_reply,
            http ? "HTTP " + std::to_string(status) : fault + " (" + std::to_string(status) + ")"};
}

// "host" and "port" of a host[:port] (the host an IPv6 address in brackets).
std::string host_and_port(const std::string& host, int default_port) {
    const std::size_t colon = host.find(':', host.rfind(']') + 1);
    const std::string port =
        colon == std::string::npos ? std::to_string(default_port) : host.substr(colon + 1);
    return "host " + host.substr(0, colon) + ", port " + port;
}

// "połączenie odrzucone; host localhost, port 443.": why a server could not be reached, then
// where it was looked for.
std::string unreachable_text(std::string why, const std::string& where) {
    if (!why.empty() && why.back() == '.') {
        why.pop_back();
    }
    return (why.empty() ? "brak połączenia" : why) + "; " + where + ".";
}

std::string with_detail(const std::string& text, const std::string& detail) {
    return detail.empty() ? text : text + " (" + strip_control_chars(detail) + ")";
}

} // namespace

check_result check_storm_service() {
    prepare_storm_request();
    bool accepted = false;
    const int status = call_key_api(storm_key, accepted);
    const std::string fault = storm_fault_text();
    const request_failure failure = end_storm_call(status); // releases the call
    return storm_verdict(status, accepted, fault, failure);
}

check_result check_weather_service() {
    const weather_reply reply = fetch_weather(current_weather_path("Warszawa"));
    if (reply.untrusted) {
        return {check_verdict::untrusted, reply.failure};
    }
    if (!reply.transferred) {
        return {check_verdict::unreachable, failure_text(reply.failure_reason)};
    }
    Json::Value document;
    if (reply.http_status == 200) {
        return parse_weather_document(reply.body, document) && document.isObject()
                   ? check_result{check_verdict::works, ""}
                   : check_result{check_verdict::unreadable, ""};
    }
    const std::string status = "HTTP " + std::to_string(reply.http_status);
    return {reply.http_status == 401 ? check_verdict::key_rejected : check_verdict::bad_reply,
            status};
}

std::string check_line(const std::string& service, const std::string& host, int default_port,
                       const check_result& result) {
    const std::string start = service + " (" + host + "): ";
    switch (result.verdict) {
    case check_verdict::works:
        return start + "działa, klucz przyjęty.";
    case check_verdict::key_rejected:
        return start + with_detail("klucz odrzucony", result.detail) + ".";
    case check_verdict::untrusted:
        return start + with_detail("certyfikat serwera niezaufany", result.detail) + ".";
    case check_verdict::unreadable:
        return start + "odpowiedź nieczytelna.";
    case check_verdict::unreachable:
        return start + unreachable_text(result.detail, host_and_port(host, default_port));
    default:
        return start + with_detail("nieoczekiwana odpowiedź", result.detail) + ".";
    }
}

std::string broker_line(const broker_address& broker, const broker_check& result) {
    const std::string start = "Serwer MQTT (" + broker_text(broker) + "): ";
    switch (result.verdict) {
    case broker_verdict::works:
        return start + "działa, połączenie przyjęte.";
    case broker_verdict::login_rejected:
        return start + with_detail("logowanie odrzucone", result.detail) + ".";
    case broker_verdict::untrusted:
        return start + with_detail("certyfikat serwera niezaufany", result.detail) + ".";
    default:
        return start +
               unreachable_text(result.detail, host_and_port(broker_text(broker), broker.port));
    }
}

// Whether the watch takes Home Assistant's commands, and where.
std::string commands_line(const mqtt_settings& mqtt) {
    if (!mqtt.commands) {
        return "Polecenia z Home Assistant (mqtt_commands): wyłączone.";
    }
    return "Polecenia z Home Assistant (mqtt_commands): włączone, na tematach " + mqtt.topic +
           "/MIEJSCE/cmd/#; bez ACL serwera MQTT każdy jego użytkownik może wyciszyć alarmy.";
}

int run_service_check() {
    const check_result storm = check_storm_service();
    std::cout << check_line("Serwis burzowy", storm_host(), 443, storm) << '\n' << std::flush;
    const check_result weather = check_weather_service();
    std::cout << check_line("Serwis pogodowy", weather_host(), weather_default_port(), weather)
              << '\n'
              << std::flush;
    bool all = storm.verdict == check_verdict::works && weather.verdict == check_verdict::works;
    // The broker, when one is set.
    std::optional<mqtt_settings> mqtt;
    std::string problem;
    if (!mqtt_settings_of(settings_in_use(), "", mqtt, problem)) {
        std::cout << "Serwer MQTT: " << problem << '\n' << std::flush;
        all = false;
    } else if (mqtt) {
        const broker_check result = check_broker(*mqtt, std::chrono::seconds(5));
        std::cout << broker_line(mqtt->broker, result) << '\n'
                  << commands_line(*mqtt) << '\n'
                  << std::flush;
        all = all && result.verdict == broker_verdict::works;
    }
    return all ? 0 : 1;
}

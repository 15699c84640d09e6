// The libmosquitto client as the watch's link (mqtt_link) and --check (broker_check) set it up:
// the settings it is made from, its handle, the library's codes in words, and the helper thread
// that runs a connect call.
#pragma once

#include "base/result.h"
#include "mqtt/mqtt_payloads.h"

#include <memory>
#include <string>

struct mosquitto;

struct mqtt_settings {
    broker_address broker;
    std::string user; // empty: no login
    std::string password;
    std::string ca_file; // empty: the system's trust store
    std::string topic = "nimbrovator";
    std::string discovery_prefix = "homeassistant";
    bool discovery = true;
    bool commands = false; // take Home Assistant's commands on <topic>/<slug>/cmd/<name>
};

struct mosquitto_deleter {
    void operator()(mosquitto* handle) const;
};
using mosquitto_handle = std::unique_ptr<mosquitto, mosquitto_deleter>;

// A connection's keep-alive in seconds, and the quality of service of every message.
constexpr int keepalive_s = 30;
constexpr int quality = 1;

// The TLS library's words at the end of a logged error line.
std::string error_words(const std::string& line);
// Whether the broker's CONNACK code refuses the login (MQTT 3.1.1 and 5).
bool login_refused(int connack);
// The library's code (or, for MOSQ_ERR_ERRNO, the system's) in Polish words.
std::string reason_of(int code, int error_number);
// Why the broker refused the connection, from its CONNACK code (MQTT 3.1.1 and 5).
std::string refusal_of(int connack);
// A handle set up for the broker: login, TLS, and the will when given; MQTT 5 when asked.
result<mosquitto_handle> make_handle(const mqtt_settings& settings, const std::string& id,
                                     void* self, const std::string* will_topic, bool mqtt5 = false);
// Runs `run(argument)` on a detached helper thread that takes no signals; pthread's error code.
int start_helper(void* (*run)(void*), void* argument, bool& restored);

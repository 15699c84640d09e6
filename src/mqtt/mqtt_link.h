// The watch's connection to an MQTT broker (libmosquitto), driven from the watch's own waits:
// no thread of its own, and no call that waits for the broker, so the watch's forked checks
// never meet a lock held elsewhere and a check never waits for the broker. While disconnected
// it tries again with a capped back-off and keeps only the latest state; on every connection
// it publishes availability, the discovery configurations and that state.
#pragma once

#include "mqtt/mqtt_payloads.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;

struct mqtt_settings {
    broker_address broker;
    std::string user; // empty: no login
    std::string password;
    std::string ca_file; // empty: the system's trust store
    std::string topic = "nimbrovator";
    std::string discovery_prefix = "homeassistant";
    bool discovery = true;
};

// The place the watch publishes and what its discovery says.
struct mqtt_place {
    std::string name;
    int radius_km = 0;
    double interval_s = 300;
    bool weather = false;
    std::string version;
};

struct mosquitto_deleter {
    void operator()(mosquitto* handle) const;
};
using mosquitto_handle = std::unique_ptr<mosquitto, mosquitto_deleter>;

class mqtt_link {
  public:
    using teller = std::function<void(const std::string&)>;
    using clock = std::chrono::steady_clock;

    // Starts the first connection (without waiting for it); `tell` says what goes wrong.
    mqtt_link(const mqtt_settings& settings, const mqtt_place& place, teller tell);
    ~mqtt_link();
    mqtt_link(const mqtt_link&) = delete;
    mqtt_link& operator=(const mqtt_link&) = delete;

    // The connection's socket (below 0: none) and whether it has something to write.
    int socket() const;
    bool wants_write() const;
    // Reads and writes what is ready, keeps the connection alive, reconnects when it is time;
    // never waits.
    void service();
    void publish_state(const std::string& document);
    void publish_event(const event_message& event);
    // Publishes "offline" and disconnects, in about half a second at most.
    void close();

    const place_topics& topics() const { return topics_; }

  private:
    enum class phase { waiting, connecting, connected, closed };

    static void connect_callback(mosquitto*, void* self, int code);
    static void message_callback(mosquitto*, void* self, const struct mosquitto_message* message);
    static void publish_callback(mosquitto*, void* self, int id);
    static void log_callback(mosquitto*, void* self, int level, const char* text);

    void attempt(clock::time_point now);
    void failed(int code, clock::time_point now);
    void announce();
    void publish(const std::string& topic, const std::string& payload, bool retain);
    void tell_once(const std::string& text);

    mqtt_settings settings_;
    place_topics topics_;
    std::vector<mqtt_message> discovery_;
    std::string status_topic_;
    teller tell_;
    mosquitto_handle handle_;
    phase phase_ = phase::waiting;
    bool first_attempt_ = true;
    bool ever_connected_ = false;
    int failures_ = 0;
    int refused_code_ = 0; // the broker's CONNACK code, when it refused
    clock::time_point retry_at_;
    clock::time_point attempt_started_;
    std::optional<std::string> latest_state_;
    std::string last_error_; // the library's last error line (TLS)
    std::string told_;       // the problem told last; cleared by a connection
    int last_published_ = -1;
    bool offline_sent_ = false;
};

// --check: one connection to the broker, at most `timeout` long.
enum class broker_verdict { works, login_rejected, untrusted, unreachable };
struct broker_check {
    broker_verdict verdict;
    std::string detail;
};
broker_check check_broker(const mqtt_settings& settings, std::chrono::milliseconds timeout);

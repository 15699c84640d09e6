// The watch's connection to an MQTT broker (libmosquitto), driven from the watch's own waits.
// Only the connect call, which looks the broker's name up and may wait for a resolver without
// end, runs on a short-lived helper thread; everything else runs in the waits and never waits
// for the broker, so a check never waits for it. While disconnected it tries again with a
// capped back-off and keeps only the latest state; on every connection it publishes
// availability, the discovery configurations and that state, and again for a birth message of
// Home Assistant (at most once in 30 s: those that come sooner are one more at the end of that
// time). A place's state goes out at most once a second, the latest at the end of the second.
// What waits to go out is one message a topic, a newer one replacing it, handed to the library
// while few await the broker's acknowledgement: a flood of states or birth messages takes no
// more memory than the topics. It speaks MQTT 5 (commands taken with their retain flag as
// published, so that a retained one is told apart even when it comes live; the followed topics
// without the watch's own messages), and MQTT 3.1.1 with a broker that refuses 5.
#pragma once

#include "mqtt/mqtt_payloads.h"

#include <chrono>
#include <deque>
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
    bool commands = false; // take Home Assistant's commands on <topic>/<slug>/cmd/<name>
};

// The place the watch publishes and what its discovery says.
struct mqtt_place {
    place_key key;
    std::string shared_by;   // place_slug's
    int usual_radius_km = 0; // the radius at which a plain town keeps a slug of its name alone
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
    // A message on a command topic: the command's name (the topic's last level), the payload,
    // and whether the broker retained it.
    using command_taker =
        std::function<void(const std::string& name, const std::string& payload, bool retained)>;
    using clock = std::chrono::steady_clock;

    // Starts the first connection (without waiting for it); `tell` says what goes wrong.
    mqtt_link(const mqtt_settings& settings, const mqtt_place& place, teller tell);
    // One connection for several places, each its own device and topics (by its index below);
    // their availability is one topic of the connection, "<topic>/availability", also when
    // `several` says that more places may come (add_place) than the list holds now.
    mqtt_link(const mqtt_settings& settings, const std::vector<mqtt_place>& places, teller tell,
              bool several = false);
    ~mqtt_link();
    mqtt_link(const mqtt_link&) = delete;
    mqtt_link& operator=(const mqtt_link&) = delete;

    // The connection's socket (below 0: none) and whether it has something to write.
    int socket() const;
    bool wants_write() const;
    // True while a helper thread is in the connect call (a name lookup, TLS set-up).
    bool connect_in_progress() const;
    // Reads and writes what is ready, keeps the connection alive, reconnects when it is time;
    // never waits.
    void service();
    // How long service() may wait when nothing arrives on the socket.
    std::chrono::milliseconds next_service_in() const;
    // Subscribes to `topic` (a filter) on every connection; each message on it goes to `take`.
    void follow(const std::string& topic, std::function<void(const std::string&)> take);
    void publish_state(const std::string& document, std::size_t place = 0);
    // A place found after the start: its device is announced at once when connected, and on
    // every connection from then on. Gives the place's index.
    std::size_t add_place(const mqtt_place& place);
    void publish_event(const event_message& event, std::size_t place = 0);
    // Publishes "offline" and disconnects, in about half a second at most.
    void close();

    const place_topics& topics() const { return topics_; }
    // With the setting on, the commands on the place's topics go to `take` from the next
    // message on.
    void take_commands(command_taker take, std::size_t place = 0);

  private:
    // starting: a helper thread runs the connect call; the link leaves the handle alone.
    enum class phase { waiting, starting, connecting, connected, closed };
    struct connection;

    static void* connect_in_helper(void* connection);
    static void connect_callback(mosquitto*, void* self, int code);
    static void message_callback(mosquitto*, void* self, const struct mosquitto_message* message);
    static void publish_callback(mosquitto*, void* self, int id);
    static void log_callback(mosquitto*, void* self, int level, const char* text);

    void attempt(clock::time_point now);
    void started(clock::time_point now);
    void failed(int code, int error_number, clock::time_point now);
    void announce();
    // Home Assistant has (re)started: announced now, or at the end of the last one's 30 s.
    void birth_message(clock::time_point now);
    // Queues the message, replacing one of its topic that waits, and hands what it can over.
    void publish(const std::string& topic, const std::string& payload, bool retain);
    void hand_over();
    // The states due whose place's last went out a second ago or more.
    void publish_due_states(clock::time_point now);
    // Whether the broker refused MQTT 5, and the link then took to 3.1.1.
    bool fell_back(clock::time_point now);
    void tell_once(const std::string& text);
    // The place's topics and discovery; its slug.
    std::string add_device(const mqtt_place& place, bool several);
    // `options`: MQTT 5's subscription options (MQTT_SUB_OPT_*), left out under 3.1.1.
    void subscribe(const std::string& topic, int options = 0);

    mqtt_settings settings_;
    place_topics topics_;
    std::vector<mqtt_message> discovery_;
    std::string status_topic_;
    teller tell_;
    std::vector<command_taker> take_commands_; // a place's commands, by its index
    std::shared_ptr<connection> connection_;
    phase phase_ = phase::waiting;
    bool first_attempt_ = true;
    bool ever_connected_ = false;
    int failures_ = 0;
    int refused_code_ = 0; // the broker's CONNACK code, when it refused
    clock::time_point retry_at_;
    clock::time_point attempt_started_;
    clock::time_point sent_at_; // the last packet out on the connection, as far as it is known
    std::vector<place_topics> places_; // each place's topics; topics_ is the first's
    std::vector<std::optional<std::string>> latest_states_;
    std::vector<std::optional<clock::time_point>> state_sent_; // each place's last state out
    std::vector<bool> state_due_;                  // the latest state waits for its place's second
    std::optional<clock::time_point> reannounced_; // for a birth message, last
    bool reannounce_due_ = false;                  // at the end of its 30 s
    std::deque<mqtt_message> outbox_;              // not yet handed to the library
    std::vector<int> in_flight_;                   // handed over, not yet acknowledged
    bool mqtt5_ = true;                            // until the broker refuses it
    std::vector<std::pair<std::string, std::function<void(const std::string&)>>> followed_;
    std::string told_; // the problem told last; cleared by a connection
    int last_published_ = -1;
    std::optional<clock::time_point> publish_failure_told_; // said at most once a minute
};

// --check: one connection to the broker, at most `timeout` long.
enum class broker_verdict { works, login_rejected, untrusted, unreachable };
struct broker_check {
    broker_verdict verdict;
    std::string detail; // unreachable: why, in the words of its cause (failure_cause.h)
};
broker_check check_broker(const mqtt_settings& settings, std::chrono::milliseconds timeout);

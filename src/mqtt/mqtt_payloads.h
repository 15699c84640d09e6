// What the watch publishes to an MQTT broker, as pure functions over plain data: the broker's
// address, the topics of a place, the Home Assistant discovery configurations and the event
// messages. The state message is the JSON document of a check, made elsewhere.
#pragma once

#include "base/result.h"

#include <optional>
#include <string>
#include <vector>

// mqtt://host[:port] (1883) or mqtts://host[:port] (8883, TLS).
struct broker_address {
    bool tls = false;
    std::string host;
    int port = 1883;
};
std::optional<broker_address> parse_broker_url(const std::string& url);
// "host:port", for messages.
std::string broker_text(const broker_address& broker);
// A broker URL as messages show it: a login in it ("user:pass@") shows as "user:***@".
std::string broker_url_shown(const std::string& url);

// A topic prefix given in the settings, as MQTT takes it: UTF-8 without NUL, controls or
// non-characters, no wildcards (+, #), no empty level, and short enough that every topic made
// from it stays within the 65,535 bytes MQTT allows. The problem in Polish when it is not.
result<void> check_topic_prefix(const std::string& topic);

// What tells one watched place from another.
struct place_key {
    std::string name;
    std::optional<double> latitude;
    std::optional<double> longitude;
    int radius_km = 0;
    bool by_point = false; // given by its coordinates (--near), not looked up by name
};
// The place in topics and entity ids, different for different keys. A town looked up by name
// at the usual radius whose name is ASCII words of a capital and small letters keeps just its
// name: "Stare Miasto" → "stare_miasto". Any other place gets its name transliterated (none
// left: "miejsce") and ten digits of a hash of the whole key: "Nowy Sącz" → "nowy_sacz_0123456789".
// `shared_by`: the configuration's name of a place whose town and radius another place there
// has as well; it follows the town's name and goes into the hash: "[place Dom] town = Gdynia"
// → "gdynia_dom_0123456789".
std::string place_slug(const place_key& place, int usual_radius_km,
                       const std::string& shared_by = "");
// The words of a name as a slug gives them: "Nowy Sącz" → "nowy_sacz".
std::string slug_words(const std::string& name);

struct place_topics {
    std::string state;        // retained: the document of the latest check
    std::string availability; // retained: "online" / "offline" (also the last will)
    std::string event;        // one message per alert
    std::string commands;     // the commands' topics begin so: "<base>/<slug>/cmd/"
};
place_topics topics_of(const std::string& base, const std::string& slug);

struct mqtt_message {
    std::string topic;
    std::string payload;
    bool retain = true;
};

// What the discovery configurations say about the watch.
struct discovery_facts {
    std::string prefix; // "homeassistant"
    std::string place;  // the town's name
    std::string slug;
    place_topics topics;
    std::string version;
    std::string support_url; // the project's home page
    int radius_km = 0;
    double interval_s = 300;
    bool weather = false;  // a temperature sensor as well
    bool commands = false; // the controls as well: a button, a number and a switch
};
// One retained configuration per entity (six, seven with the weather, three more with the
// commands).
std::vector<mqtt_message> discovery_messages(const discovery_facts& facts);
// The topic on which Home Assistant announces itself.
std::string discovery_status_topic(const std::string& prefix);
// Whether a subscription to `filter` hears a topic that the watch publishes under the topic
// prefix `base` or the discovery prefix `discovery_prefix`.
bool filter_hears_own_topics(const std::string& filter, const std::string& base,
                             const std::string& discovery_prefix);

// An alert as published: the same facts as the environment of the --exec command.
struct event_message {
    std::string type; // the event's id (watch_events)
    std::string town;
    int radius_km = 0;
    int strikes = 0;
    std::optional<double> distance_km; // only with strikes
    std::string direction;             // only with strikes
};
std::string event_payload(const event_message& event);

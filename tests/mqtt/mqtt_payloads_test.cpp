// The broker's address, the place's slug and the messages published, over tables.
#include "mqtt/mqtt_payloads.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <map>
#include <set>

namespace {

Json::Value parsed(const std::string& text) {
    Json::Value value;
    EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
    return value;
}

TEST(MqttPayloads, BrokerUrls) {
    struct row {
        std::string url;
        bool valid;
        bool tls;
        std::string host;
        int port;
    };
    const std::vector<row> rows = {
        {"mqtt://localhost", true, false, "localhost", 1883},
        {"mqtts://broker.example.org", true, true, "broker.example.org", 8883},
        {"mqtt://127.0.0.1:1884", true, false, "127.0.0.1", 1884},
        {"mqtts://h:65535", true, true, "h", 65535},
        {"mqtt://h:0", false, false, "", 0},
        {"mqtt://h:65536", false, false, "", 0},
        {"mqtt://h:", false, false, "", 0},
        {"mqtt://", false, false, "", 0},
        {"mqtt://h/path", false, false, "", 0},
        {"mqtt://user@h", false, false, "", 0},
        {"http://h", false, false, "", 0},
        {"localhost:1883", false, false, "", 0},
        {"mqtt://[::1]:1884", true, false, "::1", 1884},
        {"mqtts://[fe80::1]", true, true, "fe80::1", 8883},
        {"mqtt://[::ffff:127.0.0.1]", true, false, "::ffff:127.0.0.1", 1883},
        {"mqtt://[::1", false, false, "", 0},
        {"mqtt://[::1]1883", false, false, "", 0},
        {"mqtt://[]:1883", false, false, "", 0},
        {"mqtt://[localhost]:1883", false, false, "", 0},
        {"mqtt://::1:1883", false, false, "", 0},
    };
    for (const row& r : rows) {
        const std::optional<broker_address> broker = parse_broker_url(r.url);
        ASSERT_EQ(broker.has_value(), r.valid) << r.url;
        if (broker) {
            EXPECT_EQ(broker->tls, r.tls) << r.url;
            EXPECT_EQ(broker->host, r.host) << r.url;
            EXPECT_EQ(broker->port, r.port) << r.url;
            if (r.url.find('[') != std::string::npos) { // shown in brackets again
                EXPECT_EQ(broker_text(*broker), "[" + r.host + "]:" + std::to_string(r.port));
            }
        }
    }
}

TEST(MqttPayloads, SlugsAndTopicPrefixes) {
    const std::map<std::string, std::string> slugs = {
        {"Kraków", "krakow"},
        {"Nowy Sącz", "nowy_sacz"},
        {"Łódź", "lodz"},
        {"ŻAGAŃ", "zagan"},
        {"Bielsko-Biała", "bielsko_biala"},
        {"  Środa  Śląska ", "sroda_slaska"},
        {"Kędzierzyn-Koźle", "kedzierzyn_kozle"},
        {"Zürich 2", "zurich_2"},
        {"東京", "miejsce"},
        {"", "miejsce"},
        {std::string("a\xC5"), "a"}, // a cut letter
    };
    for (const auto& [place, slug] : slugs) {
        EXPECT_EQ(place_slug(place), slug) << place;
        EXPECT_EQ(slug.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"),
                  std::string::npos);
    }
    for (const char* good : {"nimbrovator", "dom/burze", "homeassistant"}) {
        EXPECT_TRUE(valid_topic_prefix(good)) << good;
    }
    for (const char* bad : {"", "/x", "x/", "a//b", "a/+", "#", "a\nb"}) {
        EXPECT_FALSE(valid_topic_prefix(bad)) << bad;
    }
    const place_topics topics = topics_of("dom", "nowy_sacz");
    EXPECT_EQ(topics.state, "dom/nowy_sacz/state");
    EXPECT_EQ(topics.availability, "dom/nowy_sacz/availability");
    EXPECT_EQ(topics.event, "dom/nowy_sacz/event");
}

TEST(MqttPayloads, DiscoveryConfigsNameEveryEntityOfOneDevice) {
    discovery_facts facts;
    facts.prefix = "homeassistant";
    facts.place = "Kraków";
    facts.slug = "krakow";
    facts.topics = topics_of("nimbrovator", "krakow");
    facts.version = "0.3";
    facts.radius_km = 30;
    facts.interval_s = 300;
    for (const bool weather : {false, true}) {
        facts.weather = weather;
        const std::vector<mqtt_message> messages = discovery_messages(facts);
        ASSERT_EQ(messages.size(), weather ? 7u : 6u);
        std::set<std::string> ids;
        std::map<std::string, Json::Value> by_object;
        for (const mqtt_message& message : messages) {
            EXPECT_TRUE(message.retain);
            const Json::Value config = parsed(message.payload);
            const std::string id = config["unique_id"].asString();
            ids.insert(id);
            EXPECT_EQ(message.topic.rfind("homeassistant/", 0), 0u) << message.topic;
            EXPECT_NE(message.topic.find("/nimbrovator_krakow/"), std::string::npos);
            EXPECT_EQ(message.topic.substr(message.topic.size() - 7), "/config");
            by_object[id.substr(std::string("nimbrovator_krakow_").size())] = config;
            EXPECT_EQ(config["availability_topic"], "nimbrovator/krakow/availability");
            EXPECT_EQ(config["payload_available"], "online");
            EXPECT_EQ(config["payload_not_available"], "offline");
            EXPECT_FALSE(config["name"].asString().empty());
            const Json::Value& device = config["device"];
            EXPECT_EQ(device["identifiers"][0], "nimbrovator_krakow");
            EXPECT_EQ(device["name"], "Nimbrovator Kraków");
            EXPECT_EQ(device["sw_version"], "0.3");
            EXPECT_EQ(device["manufacturer"], "Nimbrovator");
        }
        EXPECT_EQ(ids.size(), messages.size()); // each unique_id once
        EXPECT_EQ(by_object.count("temperature"), weather ? 1u : 0u);
        for (const char* object : {"strikes", "distance", "direction", "warning_level", "storm"}) {
            ASSERT_EQ(by_object.count(object), 1u) << object;
            EXPECT_EQ(by_object[object]["state_topic"], "nimbrovator/krakow/state");
            EXPECT_EQ(by_object[object]["expire_after"], 900) << object;
        }
        EXPECT_EQ(by_object["strikes"]["state_class"], "measurement");
        EXPECT_EQ(by_object["distance"]["device_class"], "distance");
        EXPECT_EQ(by_object["distance"]["unit_of_measurement"], "km");
        EXPECT_NE(by_object["distance"]["value_template"].asString().find("nearest_km"),
                  std::string::npos);
        EXPECT_EQ(by_object["warning_level"]["json_attributes_topic"], "nimbrovator/krakow/state");
        EXPECT_EQ(by_object["storm"]["device_class"], "safety");
        EXPECT_EQ(by_object["storm"]["name"], "Burza w promieniu 30 km");
        const Json::Value& alert = by_object["alert"];
        EXPECT_EQ(alert["state_topic"], "nimbrovator/krakow/event");
        EXPECT_EQ(alert["event_types"].size(), 4u);
        EXPECT_EQ(alert["event_types"][0], "burza");
        EXPECT_EQ(alert["event_types"][2], "blisko");
        EXPECT_EQ(alert["event_types"][3], "spokoj");
    }
    facts.interval_s = 0.1; // a fast test watch: never 0, which would turn expiry off
    EXPECT_EQ(parsed(discovery_messages(facts)[0].payload)["expire_after"], 1);
}

TEST(MqttPayloads, EventsCarryTheFactsOfTheCommandEnvironment) {
    struct row {
        event_message event;
        std::string expected;
    };
    const std::vector<row> rows = {
        {{"burza", "Kraków", 30, 5, 7.5, "SW"},
         R"({"direction":"SW","distance_km":7.5,"event_type":"burza","radius_km":30,)"
         R"("strikes":5,"town":"Kraków"})"},
        {{"spokoj", "Nowy Sącz", 25, 0, 3.0, "N"},
         R"({"direction":null,"distance_km":null,"event_type":"spokoj","radius_km":25,)"
         R"("strikes":0,"town":"Nowy Sącz"})"},
        {{"blizej", "Łódź", 10, 2, std::nullopt, ""},
         R"({"direction":null,"distance_km":null,"event_type":"blizej","radius_km":10,)"
         R"("strikes":2,"town":"Łódź"})"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(event_payload(r.event), r.expected);
    }
}

} // namespace

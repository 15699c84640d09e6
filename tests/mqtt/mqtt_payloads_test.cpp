// The broker's address, the place's slug and the messages published, over tables.
#include "mqtt/mqtt_payloads.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

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

TEST(MqttPayloads, LoginsInBrokerUrlsAreNeverShown) {
    const std::map<std::string, std::string> shown = {
        {"mqtt://burze:tajne@h", "mqtt://burze:***@h"}, {"mqtts://a:b:c@h:1", "mqtts://a:***@h:1"},
        {"mqtt://u:p@ss@h/x", "mqtt://u:***@h/x"},      {"mqtt://burze@h", "mqtt://burze@h"},
        {"mqtt://h:1883/a@b", "mqtt://h:1883/a@b"},     {"mqtt://h:1883", "mqtt://h:1883"},
    };
    for (const auto& [url, expected] : shown) {
        EXPECT_EQ(broker_url_shown(url), expected) << url;
    }
}

// A slug without a hash is a plain town at the usual radius (25 km); every other slug is the
// transliterated name, "_" and ten digits.
TEST(MqttPayloads, SlugsTellPlacesApart) {
    struct row {
        place_key key;
        std::string slug; // a trailing "_": the hash's digits follow
        std::string shared_by = "";
    };
    const std::string long_name = "Na" + std::string(60, 'a');
    const std::vector<row> rows = {
        {{"Gdynia", 54.52, 18.53, 25, false}, "gdynia"},
        {{"Stare Miasto", 50.0, 22.0, 25, false}, "stare_miasto"},
        {{"Gdynia", 54.52, 18.53, 30, false}, "gdynia_"},
        {{"Gdynia", 54.52, 18.53, 25, true}, "gdynia_"},
        {{"GDYNIA", 54.52, 18.53, 25, false}, "gdynia_"},
        {{"Stare-Miasto", 50.0, 22.0, 25, false}, "stare_miasto_"},
        {{"Kraków", 50.06, 19.94, 25, false}, "krakow_"},
        {{"Nowy Sącz", 49.62, 20.69, 25, false}, "nowy_sacz_"},
        {{"Łódź", 51.76, 19.46, 25, false}, "lodz_"},
        {{"ŻAGAŃ", 51.6, 15.3, 25, false}, "zagan_"},
        {{"  Środa  Śląska ", 51.2, 16.6, 25, false}, "sroda_slaska_"},
        {{"Kędzierzyn-Koźle", 50.3, 18.2, 25, false}, "kedzierzyn_kozle_"},
        {{"Zürich 2", 47.4, 8.5, 25, false}, "zurich_2_"},
        {{"東京", 35.7, 139.7, 25, false}, "miejsce_"},
        {{"", std::nullopt, std::nullopt, 25, false}, "miejsce_"},
        {{std::string("A\xC5"), 50.0, 20.0, 25, false}, "a_"}, // a cut letter
        {{long_name, 50.0, 20.0, 25, false}, "na" + std::string(38, 'a') + "_"},
        // Pairs that collided: the same slug but for the hash.
        {{"a/b", 50.0, 20.0, 25, false}, "a_b_"},
        {{"a+b", 50.0, 20.0, 25, false}, "a_b_"},
        {{"北京", 39.9, 116.4, 25, false}, "miejsce_"},
        {{"Kraków", 50.06, 19.94, 30, false}, "krakow_"},
        {{"Krakow", 50.06, 19.94, 30, false}, "krakow_"},
        {{"Kraków", 50.061, 19.94, 30, true}, "krakow_"},
        {{"Kraków", 50.062, 19.94, 30, true}, "krakow_"},
        // Places of the configuration in one town at one radius: each its own.
        {{"Gdynia", 54.52, 18.53, 25, false}, "gdynia_dom_", "Dom"},
        {{"Gdynia", 54.52, 18.53, 25, false}, "gdynia_praca_", "Praca"},
    };
    std::set<std::string> slugs;
    for (const row& r : rows) {
        const std::string slug = place_slug(r.key, 25, r.shared_by);
        slugs.insert(slug);
        const bool hashed = r.slug.back() == '_';
        EXPECT_TRUE(std::regex_match(slug, std::regex(hashed ? r.slug + "[0-9]{10}" : r.slug)))
            << r.key.name << " → " << slug;
        // What Home Assistant takes in an entity id: no "__", no "_" at an end.
        EXPECT_TRUE(std::regex_match(slug, std::regex("[a-z0-9]+(_[a-z0-9]+)*"))) << slug;
    }
    EXPECT_EQ(slugs.size(), rows.size()); // no two places share a slug
}

TEST(MqttPayloads, TopicPrefixesAreWhatMqttTakes) {
    const std::size_t longest = 65535 - 128;
    const std::vector<std::string> good = {"nimbrovator", "dom/burze", "homeassistant",
                                           "dom/Łódź/☂", std::string(longest, 'a')};
    for (const std::string& topic : good) {
        EXPECT_TRUE(check_topic_prefix(topic)) << topic.substr(0, 40);
    }
    const std::vector<std::string> bad = {
        "",
        "/x",
        "x/",
        "a//b",
        "a/+",
        "#",
        "a\nb",
        "a\x7F",
        std::string("a\0b", 3),
        "dom/\xC3\x28",     // a cut sequence
        "\xC0\xAF",         // an overlong "/"
        "\xED\xA0\x80",     // a surrogate
        "\xF4\x90\x80\x80", // past U+10FFFF
        "a\xC2\x85",        // a C1 control
        "\xEF\xBF\xBF",     // a non-character
        std::string(longest + 1, 'a'),
    };
    for (const std::string& topic : bad) {
        EXPECT_FALSE(check_topic_prefix(topic)) << topic.substr(0, 40);
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
    facts.support_url = "https://nimbrovator.pl";
    facts.radius_km = 30;
    facts.interval_s = 300;
    for (const auto& [weather, commands] :
         {std::pair(false, false), {true, false}, {false, true}}) {
        facts.weather = weather;
        facts.commands = commands;
        const std::vector<mqtt_message> messages = discovery_messages(facts);
        ASSERT_EQ(messages.size(), (weather ? 8u : 7u) + (commands ? 3u : 0u));
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
            const std::string component =
                message.topic.substr(14, message.topic.find('/', 14) - 14);
            EXPECT_EQ(config["default_entity_id"], component + "." + id);
            EXPECT_FALSE(config.isMember("object_id")) << id;
            EXPECT_EQ(config["origin"]["name"], "Nimbrovator");
            EXPECT_EQ(config["origin"]["sw_version"], "0.3");
            EXPECT_EQ(config["origin"]["support_url"], "https://nimbrovator.pl");
            // A template's "None" is unknown only to a numeric sensor or a binary sensor; a
            // text sensor would show the word.
            if (config["value_template"].asString().find("None") != std::string::npos) {
                EXPECT_TRUE(component == "binary_sensor" || config.isMember("state_class") ||
                            config.isMember("unit_of_measurement") ||
                            config["device_class"] == "timestamp")
                    << id;
            }
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
        // Every compass code the reports pass on has its bearing: none turns into unknown.
        for (const char* code : {"N", "NNE", "NE", "ENE", "E", "ESE", "SE", "SSE", "S", "SSW", "SW",
                                 "WSW", "W", "WNW", "NW", "NNW"}) {
            EXPECT_NE(by_object["direction"]["value_template"].asString().find(std::string("'") +
                                                                               code + "':"),
                      std::string::npos)
                << code;
        }
        EXPECT_EQ(by_object["warning_level"]["json_attributes_topic"], "nimbrovator/krakow/state");
        EXPECT_EQ(by_object["storm"]["device_class"], "safety");
        EXPECT_EQ(by_object["safe_at"]["device_class"], "timestamp");
        EXPECT_EQ(by_object["safe_at"]["state_topic"], "nimbrovator/krakow/state");
        EXPECT_EQ(by_object["storm"]["name"], "Burza w promieniu 30 km");
        const Json::Value& alert = by_object["alert"];
        EXPECT_EQ(alert["state_topic"], "nimbrovator/krakow/event");
        EXPECT_EQ(alert["event_types"].size(), 4u);
        EXPECT_EQ(alert["event_types"][0], "burza");
        EXPECT_EQ(alert["event_types"][2], "blisko");
        EXPECT_EQ(alert["event_types"][3], "spokoj");
        // The controls: a command topic each, never retained by Home Assistant, never expiring.
        for (const char* object : {"check_now", "snooze", "approaching_only"}) {
            ASSERT_EQ(by_object.count(object), commands ? 1u : 0u) << object;
            const Json::Value& control = by_object[object];
            EXPECT_EQ(control["command_topic"].asString(),
                      commands ? std::string("nimbrovator/krakow/cmd/") + object : "");
            EXPECT_FALSE(control.isMember("expire_after") || control["retain"] == true) << object;
        }
        EXPECT_EQ(by_object["check_now"].isMember("state_topic"), false); // a button has none
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

// The README's command line names a topic as the watch makes it: Kraków as the simulator places
// it, at the demo's radius.
TEST(MqttPayloads, TheReadmesCommandTopicIsOneTheWatchMakes) {
    std::ifstream file(PROJECT_SOURCE_DIR "/README.md");
    std::stringstream readme;
    readme << file.rdbuf();
    const place_key krakow = {"Kraków", 50.0614, 19.9366, 30, false};
    const place_topics topics = topics_of("nimbrovator", place_slug(krakow, 25));
    EXPECT_NE(readme.str().find(" -t " + topics.commands + "snooze "), std::string::npos)
        << topics.commands;
    EXPECT_NE(readme.str().find("\n" + topics.availability + " online\n"), std::string::npos)
        << topics.availability;
}

#include "mqtt/mqtt_payloads.h"

#include "approach/watch_events.h"
#include "text/json_text.h"

#include <json/json.h>

#include <algorithm>
#include <cmath>

namespace {

// The ASCII letters of U+00C0…U+017F (Latin-1 and Latin Extended-A); "_" for signs.
const char* const latin_1_letters = "AAAAAAACEEEEIIIIDNOOOOO_OUUUUYTs"
                                    "aaaaaaaceeeeiiiidnooooo_ouuuuyty";
const char* const latin_extended_letters = "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGg"
                                           "GgGgHhHhIiIiIiIiIiJjJjKkkLlLlLlL"
                                           "lLlNnNnNnnNnOoOoOoOoRrRrRrSsSsSs"
                                           "SsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";

// The next code point of UTF-8 text at `at`, which moves past it; a stray byte is its own.
unsigned next_code_point(const std::string& text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned first = byte(at++);
    int more = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : first >= 0xC0 ? 1 : 0;
    unsigned code = more == 3 ? first & 0x07 : more == 2 ? first & 0x0F : first & 0x1F;
    if (more == 0) {
        return first;
    }
    for (; more > 0; --more) {
        if (at >= text.size() || (byte(at) & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        code = (code << 6) | (byte(at++) & 0x3F);
    }
    return code;
}

char ascii_letter(unsigned code) {
    if (code < 0x80) {
        return static_cast<char>(code);
    }
    if (code >= 0xC0 && code < 0x100) {
        return latin_1_letters[code - 0xC0];
    }
    if (code >= 0x100 && code < 0x180) {
        return latin_extended_letters[code - 0x100];
    }
    return '_';
}

// A value of the state document, unknown (HA's "None") when its part is missing.
std::string part_template(const std::string& part, const std::string& member) {
    return "{{ value_json." + part + "." + member + " if value_json." + part + " else None }}";
}

struct entity {
    const char* component;
    const char* object;
    std::string name;
    Json::Value members;
};

std::vector<entity> entities_of(const discovery_facts& facts) {
    std::vector<entity> list;
    Json::Value strikes(Json::objectValue);
    strikes["state_class"] = "measurement";
    strikes["icon"] = "mdi:flash";
    strikes["value_template"] = part_template("lightning", "strikes");
    list.push_back({"sensor", "strikes", "Wyładowania", strikes});

    Json::Value distance(Json::objectValue);
    distance["device_class"] = "distance";
    distance["unit_of_measurement"] = "km";
    distance["state_class"] = "measurement";
    // No strikes: nearest_km is null, so the state is unknown (0 km would mean struck).
    distance["value_template"] = part_template("lightning", "nearest_km");
    list.push_back({"sensor", "distance", "Najbliższe wyładowanie", distance});

    Json::Value direction(Json::objectValue);
    direction["icon"] = "mdi:compass";
    direction["value_template"] = part_template("lightning", "direction");
    list.push_back({"sensor", "direction", "Kierunek najbliższego wyładowania", direction});

    Json::Value warnings(Json::objectValue);
    warnings["icon"] = "mdi:alert";
    warnings["value_template"] = "{{ ((value_json.warnings.hazards | map(attribute='level') | "
                                 "reject('none') | list) + [0]) | max if value_json.warnings "
                                 "else None }}";
    warnings["json_attributes_topic"] = facts.topics.state;
    warnings["json_attributes_template"] =
        "{{ {'ostrzezenia': (value_json.warnings.hazards | selectattr('description') | "
        "map(attribute='description') | list) if value_json.warnings else []} | tojson }}";
    list.push_back({"sensor", "warning_level", "Stopień ostrzeżeń", warnings});

    if (facts.weather) {
        Json::Value temperature(Json::objectValue);
        temperature["device_class"] = "temperature";
        temperature["unit_of_measurement"] = "°C";
        temperature["state_class"] = "measurement";
        temperature["value_template"] = part_template("current_weather", "temperature_c");
        list.push_back({"sensor", "temperature", "Temperatura", temperature});
    }

    Json::Value storm(Json::objectValue);
    storm["device_class"] = "safety"; // on: unsafe
    storm["payload_on"] = "ON";
    storm["payload_off"] = "OFF";
    storm["value_template"] = "{{ ('ON' if value_json.lightning.strikes > 0 else 'OFF') if "
                              "value_json.lightning else None }}";
    list.push_back({"binary_sensor", "storm",
                    "Burza w promieniu " + std::to_string(facts.radius_km) + " km", storm});

    Json::Value events(Json::objectValue);
    events["event_types"] = Json::Value(Json::arrayValue);
    for (const watch_event_kind& kind : watch_events) {
        events["event_types"].append(kind.id);
    }
    list.push_back({"event", "alert", "Alarm burzowy", events});
    return list;
}

} // namespace

std::optional<broker_address> parse_broker_url(const std::string& url) {
    broker_address broker;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        broker.tls = true;
        broker.port = 8883;
        rest = url.substr(8);
    } else {
        return std::nullopt;
    }
    // An IPv6 address in brackets ("[::1]:1883"); the host is the address without them.
    const bool bracketed = !rest.empty() && rest[0] == '[';
    const std::size_t host_end = bracketed ? rest.find(']') : rest.find(':');
    if (bracketed && host_end == std::string::npos) {
        return std::nullopt;
    }
    broker.host = bracketed ? rest.substr(1, host_end - 1) : rest.substr(0, host_end);
    const std::size_t colon = bracketed ? host_end + 1 : host_end;
    if (bracketed && colon < rest.size() && rest[colon] != ':') {
        return std::nullopt;
    }
    const char* const host_chars =
        bracketed ? "0123456789abcdefABCDEF:." // an IPv4 tail is allowed ("::ffff:1.2.3.4")
                  : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-";
    if (broker.host.empty() || broker.host.find_first_not_of(host_chars) != std::string::npos ||
        (bracketed && broker.host.find(':') == std::string::npos)) {
        return std::nullopt;
    }
    if (colon < rest.size()) {
        const std::string port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        broker.port = std::stoi(port);
        if (broker.port < 1 || broker.port > 65535) {
            return std::nullopt;
        }
    }
    return broker;
}

std::string broker_text(const broker_address& broker) {
    const bool ipv6 = broker.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + broker.host + "]" : broker.host) + ":" + std::to_string(broker.port);
}

bool valid_topic_prefix(const std::string& topic) {
    if (topic.empty() || topic.front() == '/' || topic.back() == '/' ||
        topic.find("//") != std::string::npos) {
        return false;
    }
    for (const char c : topic) {
        if (c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

std::string place_slug(const std::string& place) {
    std::string slug;
    bool gap = false;
    for (std::size_t at = 0; at < place.size();) {
        char c = ascii_letter(next_code_point(place, at));
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            if (gap && !slug.empty()) {
                slug += '_';
            }
            slug += c;
            gap = false;
        } else {
            gap = true;
        }
    }
    return slug.empty() ? "miejsce" : slug;
}

place_topics topics_of(const std::string& base, const std::string& slug) {
    const std::string root = base + "/" + slug + "/";
    return {root + "state", root + "availability", root + "event"};
}

std::string discovery_status_topic(const std::string& prefix) {
    return prefix + "/status";
}

std::vector<mqtt_message> discovery_messages(const discovery_facts& facts) {
    const std::string node = "nimbrovator_" + facts.slug;
    Json::Value device(Json::objectValue);
    device["identifiers"].append(node);
    device["name"] = "Nimbrovator " + facts.place;
    device["manufacturer"] = "Nimbrovator";
    device["model"] = "nimbrovator --watch";
    device["sw_version"] = facts.version;
    // Three checks missed and the values go unknown.
    const int expire_after = std::max(1, static_cast<int>(std::ceil(3 * facts.interval_s)));
    std::vector<mqtt_message> messages;
    for (const entity& part : entities_of(facts)) {
        Json::Value config = part.members;
        const bool event = std::string(part.component) == "event";
        config["name"] = part.name;
        config["unique_id"] = node + "_" + part.object;
        config["object_id"] = node + "_" + part.object;
        config["state_topic"] = event ? facts.topics.event : facts.topics.state;
        config["availability_topic"] = facts.topics.availability;
        config["payload_available"] = "online";
        config["payload_not_available"] = "offline";
        if (!event) {
            config["expire_after"] = expire_after;
        }
        config["device"] = device;
        messages.push_back(
            {facts.prefix + "/" + part.component + "/" + node + "/" + part.object + "/config",
             compact_json(config), true});
    }
    return messages;
}

std::string event_payload(const event_message& event) {
    Json::Value value(Json::objectValue);
    value["event_type"] = event.type;
    value["town"] = event.town;
    value["radius_km"] = event.radius_km;
    value["strikes"] = event.strikes;
    const bool seen = event.strikes > 0;
    value["distance_km"] =
        seen && event.distance_km ? Json::Value(*event.distance_km) : Json::Value();
    value["direction"] =
        seen && !event.direction.empty() ? Json::Value(event.direction) : Json::Value();
    return compact_json(value);
}

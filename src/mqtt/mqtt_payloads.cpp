#include "mqtt/mqtt_payloads.h"

#include "approach/watch_events.h"
#include "mqtt/mqtt_commands.h"
#include "text/json_text.h"
#include "text/text.h"

#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// The ASCII letters of U+00C0…U+017F (Latin-1 and Latin Extended-A); "_" for signs.
const char* const latin_1_letters = "AAAAAAACEEEEIIIIDNOOOOO_OUUUUYTs"
                                    "aaaaaaaceeeeiiiidnooooo_ouuuuyty";
const char* const latin_extended_letters = "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGg"
                                           "GgGgHhHhIiIiIiIiIiJjJjKkkLlLlLlL"
                                           "lLlNnNnNnnNnOoOoOoOoRrRrRrSsSsSs"
                                           "SsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";

constexpr unsigned bad_code_point = 0xFFFFFFFF;

// The next code point of UTF-8 text at `at`, which moves past it; bad_code_point for bytes that
// are no well-formed character (a stray or cut sequence, overlong, a surrogate, past U+10FFFF).
unsigned next_code_point(const std::string& text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned first = byte(at++);
    if (first < 0x80) {
        return first;
    }
    const int more = first >= 0xF8   ? -1
                     : first >= 0xF0 ? 3
                     : first >= 0xE0 ? 2
                     : first >= 0xC0 ? 1
                                     : -1;
    if (more < 0) {
        return bad_code_point;
    }
    unsigned code = first & (0x3Fu >> more);
    for (int i = 0; i < more; ++i) {
        if (at >= text.size() || (byte(at) & 0xC0) != 0x80) {
            return bad_code_point;
        }
        code = (code << 6) | (byte(at++) & 0x3F);
    }
    static const unsigned least[] = {0, 0x80, 0x800, 0x10000};
    if (code < least[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return bad_code_point;
    }
    return code;
}

// What MQTT refuses in a topic besides malformed UTF-8: NUL, controls and non-characters.
bool refused_in_topic(unsigned code) {
    return code == bad_code_point || code < 0x20 || (code >= 0x7F && code <= 0x9F) ||
           (code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE;
}

constexpr std::size_t longest_topic = 65535;
// The most a topic adds to a prefix: "/binary_sensor/nimbrovator_<slug>/warning_level/config".
constexpr std::size_t topic_room = 128;
constexpr std::size_t longest_slug_name = 40; // then "_" and the hash's ten digits

// ASCII words of a capital and small letters, one space apart: the slug gives the name back.
bool plain_name(const std::string& name) {
    bool word_start = true;
    for (const char c : name) {
        if (word_start && c >= 'A' && c <= 'Z') {
            word_start = false;
        } else if (!word_start && c == ' ') {
            word_start = true;
        } else if (word_start || c < 'a' || c > 'z') {
            return false;
        }
    }
    return !word_start;
}

// Ten decimal digits of a 64-bit FNV-1a hash of the whole key (and the place's own name).
std::string key_hash(const place_key& place, const std::string& shared_by) {
    const auto micro_degrees = [](const std::optional<double>& degrees) {
        return degrees ? std::to_string(std::llround(*degrees * 1e6)) : std::string("-");
    };
    const std::string key = place.name + '\n' + micro_degrees(place.latitude) + '\n' +
                            micro_degrees(place.longitude) + '\n' +
                            std::to_string(place.radius_km) + (place.by_point ? "\np" : "\nt") +
                            (shared_by.empty() ? "" : "\n" + shared_by);
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : key) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    std::string digits = std::to_string(hash % 10000000000ull);
    return std::string(10 - digits.size(), '0') + digits;
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

// A value of the state document, "None" when its part or the value is missing: Home
// Assistant's unknown for the numeric sensors and the binary sensor that use it.
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

    // A bearing in degrees, so that a missing direction is unknown; the name is an attribute.
    Json::Value direction(Json::objectValue);
    direction["icon"] = "mdi:compass";
    direction["unit_of_measurement"] = "°";
    direction["value_template"] =
        "{{ {'N': 0, 'NNE': 22.5, 'NE': 45, 'ENE': 67.5, 'E': 90, 'ESE': 112.5, 'SE': 135, "
        "'SSE': 157.5, 'S': 180, 'SSW': 202.5, 'SW': 225, 'WSW': 247.5, 'W': 270, 'WNW': 292.5, "
        "'NW': 315, 'NNW': 337.5}.get(value_json.lightning.direction) if value_json.lightning "
        "else None }}";
    direction["json_attributes_topic"] = facts.topics.state;
    direction["json_attributes_template"] =
        "{{ {'kierunek': value_json.lightning.direction_name if value_json.lightning else "
        "None} | tojson }}";
    list.push_back({"sensor", "direction", "Kierunek najbliższego wyładowania", direction});

    Json::Value warnings(Json::objectValue);
    warnings["icon"] = "mdi:alert";
    warnings["state_class"] = "measurement";
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

    // When it is safe again; unknown while nothing struck inside the safety ring lately.
    Json::Value safe(Json::objectValue);
    safe["device_class"] = "timestamp";
    safe["icon"] = "mdi:shield-check";
    safe["value_template"] = "{{ value_json.safe_at if value_json.safe_at else None }}";
    list.push_back({"sensor", "safe_at", "Bezpiecznie od", safe});

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

    if (facts.commands) {
        // Home Assistant never retains a command: the watch would ignore it.
        Json::Value check_now(Json::objectValue);
        check_now["icon"] = "mdi:refresh";
        check_now["command_topic"] = facts.topics.commands + "check_now";
        check_now["payload_press"] = "PRESS";
        check_now["retain"] = false;
        list.push_back({"button", "check_now", "Sprawdź teraz", check_now});

        Json::Value snooze(Json::objectValue);
        snooze["icon"] = "mdi:bell-sleep";
        snooze["entity_category"] = "config";
        snooze["command_topic"] = facts.topics.commands + "snooze";
        snooze["min"] = 0;
        snooze["max"] = longest_snooze_min;
        snooze["step"] = 1;
        snooze["mode"] = "box";
        snooze["unit_of_measurement"] = "min";
        snooze["retain"] = false;
        // The minutes left, counted down by Home Assistant from the time the state gives.
        snooze["value_template"] =
            "{{ [((as_timestamp(value_json.commands.snoozed_until) - as_timestamp(now())) / 60) "
            "| round(0, 'ceil') | int, 0] | max if value_json.commands and "
            "value_json.commands.snoozed_until else 0 }}";
        list.push_back({"number", "snooze", "Wycisz alarmy (min)", snooze});

        Json::Value approaching(Json::objectValue);
        approaching["icon"] = "mdi:weather-lightning";
        approaching["entity_category"] = "config";
        approaching["command_topic"] = facts.topics.commands + "approaching_only";
        approaching["payload_on"] = "ON";
        approaching["payload_off"] = "OFF";
        approaching["retain"] = false;
        approaching["value_template"] =
            "{{ 'ON' if value_json.commands and value_json.commands.approaching_only else 'OFF' }}";
        list.push_back({"switch", "approaching_only", "Tylko nadciągające", approaching});
    }
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

std::string broker_url_shown(const std::string& url) {
    const std::size_t scheme_end = url.find("://");
    const std::size_t authority = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    const std::size_t at = url.rfind('@', url.find('/', authority));
    const std::size_t colon = url.find(':', authority);
    if (at == std::string::npos || at < authority || colon > at) {
        return url;
    }
    return url.substr(0, colon) + ":***" + url.substr(at);
}

result<void> check_topic_prefix(const std::string& topic) {
    if (topic.size() > longest_topic - topic_room) {
        return failure("temat jest za długi (ma " + std::to_string(topic.size()) +
                       " bajtów, najwyżej " + std::to_string(longest_topic - topic_room) + ")");
    }
    bool fine = !topic.empty() && topic.front() != '/' && topic.back() != '/' &&
                topic.find("//") == std::string::npos;
    for (std::size_t at = 0; fine && at < topic.size();) {
        const unsigned code = next_code_point(topic, at);
        fine = !refused_in_topic(code) && code != '+' && code != '#';
    }
    if (!fine) {
        return failure("nieprawidłowy temat „" + strip_control_chars(topic) +
                       "” (niepusty tekst UTF-8 bez znaków sterujących, bez znaków + i #, bez "
                       "pustych poziomów)");
    }
    return {};
}

std::string slug_words(const std::string& name) {
    std::string slug;
    bool gap = false;
    for (std::size_t at = 0; at < name.size();) {
        char c = ascii_letter(next_code_point(name, at));
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
    return slug;
}

std::string place_slug(const place_key& place, int usual_radius_km, const std::string& shared_by) {
    std::string slug = slug_words(shared_by.empty() ? place.name : place.name + " " + shared_by);
    if (!place.by_point && place.radius_km == usual_radius_km && shared_by.empty() &&
        plain_name(place.name) && slug.size() <= longest_slug_name) {
        return slug;
    }
    slug = slug.empty() ? "miejsce" : slug.substr(0, longest_slug_name);
    if (slug.back() == '_') {
        slug.pop_back();
    }
    return slug + "_" + key_hash(place, shared_by);
}

place_topics topics_of(const std::string& base, const std::string& slug) {
    const std::string root = base + "/" + slug + "/";
    return {root + "state", root + "availability", root + "event", root + "cmd/"};
}

std::string discovery_status_topic(const std::string& prefix) {
    return prefix + "/status";
}

namespace {

std::vector<std::string> topic_levels(const std::string& topic) {
    std::vector<std::string> levels;
    std::size_t start = 0;
    for (std::size_t slash = topic.find('/'); slash != std::string::npos;
         slash = topic.find('/', start)) {
        levels.push_back(topic.substr(start, slash - start));
        start = slash + 1;
    }
    levels.push_back(topic.substr(start));
    return levels;
}

// Whether the filter matches a topic of the pattern, whose "+" levels stand for any name.
bool filter_meets(const std::vector<std::string>& filter, const std::vector<std::string>& pattern) {
    for (std::size_t i = 0; i <= pattern.size(); ++i) {
        if (i < filter.size() && filter[i] == "#") {
            return true; // the level above as well
        }
        if (i == pattern.size() || i == filter.size()) {
            return filter.size() == pattern.size();
        }
        if (filter[i] != "+" && pattern[i] != "+" && filter[i] != pattern[i]) {
            return false;
        }
    }
    return false;
}

} // namespace

bool filter_hears_own_topics(const std::string& filter, const std::string& base,
                             const std::string& discovery_prefix) {
    const std::vector<std::string> patterns = {base + "/+/state", base + "/+/availability",
                                               base + "/+/event", base + "/availability",
                                               discovery_prefix + "/+/+/+/config"};
    const std::vector<std::string> levels = topic_levels(filter);
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
        return filter_meets(levels, topic_levels(pattern));
    });
}

std::vector<mqtt_message> discovery_messages(const discovery_facts& facts) {
    const std::string node = "nimbrovator_" + facts.slug;
    Json::Value device(Json::objectValue);
    device["identifiers"].append(node);
    device["name"] = "Nimbrovator " + facts.place;
    device["manufacturer"] = "Nimbrovator";
    device["model"] = "nimbrovator --watch";
    device["sw_version"] = facts.version;
    Json::Value origin(Json::objectValue);
    origin["name"] = "Nimbrovator";
    origin["sw_version"] = facts.version;
    origin["support_url"] = facts.support_url;
    // Three checks missed and the values go unknown.
    const int expire_after = std::max(1, static_cast<int>(std::ceil(3 * facts.interval_s)));
    std::vector<mqtt_message> messages;
    for (const entity& part : entities_of(facts)) {
        Json::Value config = part.members;
        const bool event = std::string(part.component) == "event";
        const bool button = std::string(part.component) == "button";
        const bool control = part.members.isMember("command_topic");
        config["name"] = part.name;
        config["unique_id"] = node + "_" + part.object;
        config["default_entity_id"] = std::string(part.component) + "." + node + "_" + part.object;
        if (!button) {
            config["state_topic"] = event ? facts.topics.event : facts.topics.state;
        }
        config["availability_topic"] = facts.topics.availability;
        config["payload_available"] = "online";
        config["payload_not_available"] = "offline";
        if (!event && !control) {
            config["expire_after"] = expire_after;
        }
        config["device"] = device;
        config["origin"] = origin;
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

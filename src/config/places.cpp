// The named places of the configuration file: each key of a "[place NAME]" section, checked.
#include "config/settings.h"

#include "text/numbers.h"
#include "text/text.h"

#include <mosquitto.h>

namespace {

// A whole number within [lowest, highest], or none.
std::optional<int> count_within(const std::string& value, int lowest, int highest) {
    const std::optional<int> count = count_value(value);
    return count && *count >= lowest && *count <= highest ? count : std::nullopt;
}

std::string take_town(named_place& place, const std::string& value) {
    place.town = clean_town_name(value);
    return place.town.empty() ? "town: pusta nazwa miejscowości." : "";
}

std::string take_near(named_place& place, const std::string& value) {
    place.near = place_point_of(value);
    return place.near ? ""
                      : "near: nieprawidłowe współrzędne „" + strip_control_chars(value) +
                            "” (szerokość od -90 do 90, długość od -180 do 180, np. 50.06,19.94).";
}

std::string take_radius(named_place& place, const std::string& value) {
    place.radius_km = count_within(value, 5, 100);
    return place.radius_km ? ""
                           : "radius: nieprawidłowy promień (liczba całkowita km od 5 do 100).";
}

std::string take_danger(named_place& place, const std::string& value) {
    place.danger_km = count_within(value, 1, 100);
    return place.danger_km ? "" : "danger_km: nieprawidłowa liczba kilometrów (od 1 do 100).";
}

std::string take_approaching_only(named_place& place, const std::string& value) {
    if (value == "1" || value == "0") {
        place.approaching_only = value == "1";
        return "";
    }
    return "approaching_only: oczekiwano 1 albo 0.";
}

std::string take_follow(named_place& place, const std::string& value) {
    place.follow = value;
    if (value.empty() || strip_control_chars(value) != value || value.size() > 1024) {
        return "follow: nieprawidłowy temat MQTT.";
    }
    // The broker's rule for what a subscription may name, as the watch will subscribe.
    if (mosquitto_sub_topic_check(value.c_str()) != MOSQ_ERR_SUCCESS) {
        return "follow: nieprawidłowy filtr tematu MQTT „" + value +
               "” (+ i # tylko jako cały poziom, # tylko na końcu).";
    }
    return "";
}

struct place_key_rule {
    const char* name;
    std::string (*take)(named_place&, const std::string&);
};

// The keys of a place, once each.
const place_key_rule place_keys[] = {
    {"town", take_town},
    {"near", take_near},
    {"radius", take_radius},
    {"danger_km", take_danger},
    {"approaching_only", take_approaching_only},
    {"follow", take_follow},
};

} // namespace

std::string take_place_key(named_place& place, const std::string& key, const std::string& value) {
    for (const place_key_rule& rule : place_keys) {
        if (key == rule.name) {
            return rule.take(place, value);
        }
    }
    std::vector<std::string> names;
    for (const place_key_rule& rule : place_keys) {
        names.emplace_back(rule.name);
    }
    const std::optional<std::string> nearest = nearest_name(key, names);
    std::string listed;
    for (const std::string& name : names) {
        listed += (listed.empty() ? "" : ", ") + name;
    }
    return "nieznany klucz miejsca „" + strip_control_chars(key) + "” (" +
           (nearest ? "czy chodziło o " + *nearest + "?" : listed) + ").";
}

std::string place_problem(const named_place& place) {
    if (place.name.empty()) {
        return "miejsce bez nazwy ([place NAZWA]).";
    }
    if (place.town.empty() == !place.near) {
        return "miejsce „" + place.name + "” potrzebuje dokładnie jednego z kluczy town i near.";
    }
    if (place.radius_km && place.danger_km && *place.danger_km > *place.radius_km) {
        return "miejsce „" + place.name + "”: danger_km musi mieścić się w promieniu.";
    }
    return "";
}

namespace {

std::string heard_own_topics(const named_place& place, const std::string& base,
                             const std::string& prefix) {
    return place.follow_origin + ": follow: temat „" + place.follow +
           "” obejmuje tematy, na których czuwanie publikuje (" + base + "/…, " + prefix + "/…).";
}

} // namespace

void check_followed_topics(settings_outcome& outcome) {
    const std::string& base = outcome.settings.mqtt_topic.value;
    const std::string& prefix = outcome.settings.mqtt_discovery_prefix.value;
    for (const named_place& place : outcome.places) {
        if (!place.follow.empty() && filter_hears_own_topics(place.follow, base, prefix)) {
            outcome.errors.push_back(heard_own_topics(place, base, prefix));
        }
    }
}

const named_place* place_named(const std::vector<named_place>& places, const std::string& name) {
    for (const named_place& place : places) {
        if (place.name == name) {
            return &place;
        }
    }
    return nullptr;
}

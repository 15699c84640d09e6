// What the watch's link publishes: each place's device and discovery, the announcement, the
// states (a place's at most once a second) and the events, queued one message a topic.
#include "mqtt/link_spacing.h"
#include "mqtt/mqtt_link.h"

#include "nimbrovator_config.h"

#include <mqtt_protocol.h>

#include <algorithm>

std::string mqtt_link::add_device(const mqtt_place& place, bool several) {
    std::string slug = place_slug(place.key, place.usual_radius_km, place.shared_by);
    place_topics topics = topics_of(settings_.topic, slug);
    if (several) {
        topics.availability = settings_.topic + "/availability"; // the connection's will
    }
    places_.push_back(topics);
    latest_states_.resize(places_.size());
    state_sent_.resize(places_.size());
    state_due_.resize(places_.size());
    if (settings_.discovery) {
        discovery_facts facts;
        facts.prefix = settings_.discovery_prefix;
        // Two places of one town: each device by its place's name as well.
        facts.place = place.shared_by.empty() ? place.key.name
                                              : place.shared_by + " (" + place.key.name + ")";
        facts.slug = slug;
        facts.topics = topics;
        facts.version = place.version;
        facts.support_url = NIMBROVATOR_HOMEPAGE;
        facts.radius_km = place.key.radius_km;
        facts.interval_s = place.interval_s;
        facts.weather = place.weather;
        facts.commands = settings_.commands;
        const std::vector<mqtt_message> messages = discovery_messages(facts);
        discovery_.insert(discovery_.end(), messages.begin(), messages.end());
    }
    return slug;
}

void mqtt_link::announce() {
    const clock::time_point now = clock::now();
    publish(topics_.availability, "online", true);
    for (const mqtt_message& message : discovery_) {
        publish(message.topic, message.payload, message.retain);
    }
    for (std::size_t i = 0; i < places_.size(); ++i) {
        if (latest_states_[i]) {
            publish(places_[i].state, *latest_states_[i], true);
            state_sent_[i] = now;
            state_due_[i] = false;
        }
    }
}

void mqtt_link::birth_message(clock::time_point now) {
    if (reannounced_ && now < *reannounced_ + reannounce_spacing) {
        reannounce_due_ = true;
        return;
    }
    reannounced_ = now;
    reannounce_due_ = false;
    announce();
}

void mqtt_link::publish(const std::string& topic, const std::string& payload, bool retain) {
    if (phase_ != phase::connected) {
        return; // nothing is queued while disconnected
    }
    const auto waiting =
        std::find_if(outbox_.begin(), outbox_.end(),
                     [&](const mqtt_message& queued) { return queued.topic == topic; });
    if (waiting != outbox_.end()) {
        waiting->payload = payload;
        waiting->retain = retain;
    } else {
        outbox_.push_back({topic, payload, retain});
    }
    hand_over();
}

void mqtt_link::publish_due_states(clock::time_point now) {
    for (std::size_t i = 0; phase_ == phase::connected && i < places_.size(); ++i) {
        if (state_due_[i] && latest_states_[i] &&
            (!state_sent_[i] || now >= *state_sent_[i] + state_spacing)) {
            state_due_[i] = false;
            state_sent_[i] = now;
            publish(places_[i].state, *latest_states_[i], true);
        }
    }
}

void mqtt_link::publish_state(const std::string& document, std::size_t place) {
    if (place >= places_.size()) {
        return;
    }
    latest_states_[place] = document;
    state_due_[place] = true;
    publish_due_states(clock::now());
}

std::size_t mqtt_link::add_place(const mqtt_place& place) {
    const std::size_t first_message = discovery_.size();
    add_device(place, true);
    const std::size_t index = places_.size() - 1;
    if (phase_ == phase::connected) {
        if (settings_.commands) {
            subscribe(places_[index].commands + "+", MQTT_SUB_OPT_RETAIN_AS_PUBLISHED);
        }
        for (std::size_t i = first_message; i < discovery_.size(); ++i) {
            publish(discovery_[i].topic, discovery_[i].payload, discovery_[i].retain);
        }
    }
    return index;
}

void mqtt_link::publish_event(const event_message& event, std::size_t place) {
    if (place < places_.size()) {
        publish(places_[place].event, event_payload(event), false);
    }
}

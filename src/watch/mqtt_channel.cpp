// The MQTT channel: one message an event on the place's event topic; the link publishes only
// while connected.
#include "mqtt/mqtt_link.h"
#include "watch/channels.h"

namespace {

class mqtt_channel : public alert_channel {
  public:
    mqtt_channel(mqtt_link& link, std::size_t place) : link_(link), place_(place) {}

    result<void> deliver(const alert_event& event) override {
        const watch_check& check = event.facts.check;
        link_.publish_event({event_id(event.event), event.facts.town, event.facts.radius_km,
                             check.strikes, check.nearest_km, check.direction},
                            place_);
        return {};
    }

  private:
    mqtt_link& link_;
    std::size_t place_;
};

} // namespace

bool mqtt_enabled(const channel_setup& setup) {
    return setup.mqtt != nullptr;
}

std::unique_ptr<alert_channel> open_mqtt_channel(const channel_setup& setup) {
    return std::make_unique<mqtt_channel>(*setup.mqtt, setup.mqtt_place);
}

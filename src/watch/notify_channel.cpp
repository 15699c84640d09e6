// The desktop notification (--notify): notify-send with the event's title and line, one at a
// time; an event while one shows gets none.
#include "service/journal.h"
#include "watch/alerts.h"
#include "watch/channels.h"

namespace {

class notify_channel : public alert_channel {
  public:
    result<void> deliver(const alert_event& event) override {
        collect();
        if (command_.running() || missing_told_) {
            return {};
        }
        if (!program_in_path("notify-send")) {
            missing_told_ = true;
            return failure("Brak programu notify-send: powiadomienia na pulpicie są wyłączone.");
        }
        if (!command_.start({"notify-send", event_title(event.event), event.line}, {})) {
            return failure("Nie udało się uruchomić programu notify-send.");
        }
        return {};
    }

    bool collect() override {
        (void)command_.collect(); // its status tells nothing: the notification is shown or not
        return command_.running();
    }

  private:
    alert_command command_;
    bool missing_told_ = false;
};

} // namespace

bool notify_enabled(const channel_setup& setup) {
    return setup.notify;
}

std::unique_ptr<alert_channel> open_notify_channel(const channel_setup&) {
    return std::make_unique<notify_channel>();
}

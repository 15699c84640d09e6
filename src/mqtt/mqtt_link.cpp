#include "mqtt/mqtt_link.h"

#include "mqtt/link_spacing.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

constexpr auto longest_backoff = std::chrono::seconds(60);
constexpr auto connect_timeout = std::chrono::seconds(10);
constexpr auto closing_time = std::chrono::milliseconds(500);
constexpr auto publish_failure_period = std::chrono::minutes(1);
// The publishes handed to the library and not yet acknowledged, at most (the library's own
// default, and the receive maximum of Debian's broker).
constexpr std::size_t longest_in_flight = 20;

// Commands that the watch starts do not inherit the socket; false when that failed.
bool close_on_exec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

} // namespace

// The user data of libmosquitto's callbacks: the handle, the link while it lives, and what the
// connect call's helper thread leaves. The helper holds it as well, so a helper stuck in a name
// lookup outlives the link harmlessly.
struct mqtt_link::connection {
    mosquitto_handle handle;
    mqtt_link* link = nullptr;           // read and written by the watch's thread only
    std::string last_error;              // the library's last error line (TLS)
    std::atomic<bool> connecting{false}; // a helper thread is in the connect call
    bool first = true;                   // connect (else reconnect) to host and port
    std::string host;
    int port = 0;
    int connect_code = MOSQ_ERR_SUCCESS; // the helper's, read once `connecting` is false
    int connect_errno = 0;
};

bool mqtt_link::connect_in_progress() const {
    return connection_ && connection_->connecting.load(std::memory_order_acquire);
}

void* mqtt_link::connect_in_helper(void* argument) {
    const std::unique_ptr<std::shared_ptr<mqtt_link::connection>> held(
        static_cast<std::shared_ptr<mqtt_link::connection>*>(argument));
    mqtt_link::connection& c = **held;
    mosquitto* m = c.handle.get();
    c.connect_code = c.first ? mosquitto_connect_async(m, c.host.c_str(), c.port, keepalive_s)
                             : mosquitto_reconnect_async(m);
    c.connect_errno = errno;
    c.connecting.store(false, std::memory_order_release);
    return nullptr;
}

mqtt_link::mqtt_link(const mqtt_settings& settings, const mqtt_place& place, teller tell)
    : mqtt_link(settings, std::vector<mqtt_place>{place}, std::move(tell)) {}

mqtt_link::mqtt_link(const mqtt_settings& settings, const std::vector<mqtt_place>& places,
                     teller tell, bool several)
    : settings_(settings), tell_(std::move(tell)) {
    several = several || places.size() > 1;
    std::string slug;
    for (const mqtt_place& place : places) {
        const std::string own_slug = add_device(place, several);
        slug = slug.empty() ? own_slug : slug;
    }
    topics_ = places_.empty() ? place_topics{} : places_.front();
    if (several) {
        topics_.availability = settings.topic + "/availability";
    }
    if (settings.discovery) {
        status_topic_ = discovery_status_topic(settings.discovery_prefix);
    }
    connection_ = std::make_shared<connection>();
    connection_->link = this;
    connection_->host = settings.broker.host;
    connection_->port = settings.broker.port;
    const std::string id =
        "nimbrovator-" + (slug.empty() ? "places" : slug) + "-" + std::to_string(getpid());
    result<mosquitto_handle> handle =
        make_handle(settings, id, connection_.get(), &topics_.availability, true);
    if (!handle) {
        tell_(handle.error());
        phase_ = phase::closed;
        connection_.reset();
        return;
    }
    connection_->handle = std::move(*handle);
    mosquitto* m = connection_->handle.get();
    mosquitto_connect_callback_set(m, connect_callback);
    mosquitto_message_callback_set(m, message_callback);
    mosquitto_publish_callback_set(m, publish_callback);
    mosquitto_log_callback_set(m, log_callback);
    attempt(clock::now());
}

mqtt_link::~mqtt_link() {
    close();
}

int mqtt_link::socket() const {
    const bool has_socket = phase_ == phase::connecting || phase_ == phase::connected;
    return has_socket ? mosquitto_socket(connection_->handle.get()) : -1;
}

bool mqtt_link::wants_write() const {
    return socket() >= 0 && mosquitto_want_write(connection_->handle.get());
}

// The connect call, on a helper thread that takes no signals: the watch's waits see them.
void mqtt_link::attempt(clock::time_point now) {
    refused_code_ = 0;
    connection_->last_error.clear();
    connection_->first = first_attempt_;
    first_attempt_ = false;
    connection_->connecting.store(true, std::memory_order_relaxed);
    auto* held = new std::shared_ptr<connection>(connection_);
    bool restored = true;
    const int code = start_helper(connect_in_helper, held, restored);
    if (!restored) {
        tell_("Nie udało się przywrócić obsługi sygnałów.");
    }
    attempt_started_ = now;
    if (code != 0) {
        delete held;
        connection_->connecting.store(false, std::memory_order_relaxed);
        failed(MOSQ_ERR_ERRNO, code, now);
        return;
    }
    phase_ = phase::starting;
}

// The helper thread is done with the connect call: the socket is the watch's from here on.
void mqtt_link::started(clock::time_point now) {
    if (connection_->connect_code != MOSQ_ERR_SUCCESS) {
        failed(connection_->connect_code, connection_->connect_errno, now);
        return;
    }
    if (!close_on_exec(mosquitto_socket(connection_->handle.get()))) {
        failed(MOSQ_ERR_ERRNO, errno, now);
        return;
    }
    phase_ = phase::connecting;
    attempt_started_ = now;
}

void mqtt_link::failed(int code, int error_number, clock::time_point now) {
    const bool lost = phase_ == phase::connected;
    phase_ = phase::waiting;
    // What waits goes out with the next connection's announcement, the latest state included.
    outbox_.clear();
    in_flight_.clear();
    reannounce_due_ = false;
    ++failures_;
    const auto backoff = std::min<clock::duration>(
        std::chrono::seconds(1) * (1 << std::min(failures_ - 1, 6)), longest_backoff);
    retry_at_ = now + backoff;
    const std::string where = "serwer MQTT " + broker_text(settings_.broker);
    const std::string& last_error = connection_->last_error;
    if (lost) {
        tell_("Utracono połączenie: " + where + "; ponawiam próby w tle.");
        told_.clear();
    } else if (login_refused(refused_code_) || code == MOSQ_ERR_AUTH) {
        tell_once("Logowanie odrzucone: " + where + " (" +
                  refusal_of(refused_code_ ? refused_code_ : 5) + "); ponawiam próby w tle.");
    } else if (code == MOSQ_ERR_TLS) {
        tell_once("Certyfikat niezaufany lub błąd TLS: " + where +
                  (last_error.empty() ? "" : " (" + error_words(last_error) + ")") +
                  "; ponawiam próby w tle.");
    } else {
        tell_once("Brak połączenia: " + where + " (" + reason_of(code, error_number) +
                  "); ponawiam próby w tle.");
    }
}

void mqtt_link::tell_once(const std::string& text) {
    // The same problem is said once until a connection works; another one is said anew.
    const std::string kind = text.substr(0, text.find(':'));
    if (kind != told_) {
        told_ = kind;
        tell_(text);
    }
}

void mqtt_link::service() {
    if (phase_ == phase::closed) {
        return;
    }
    const clock::time_point now = clock::now();
    if (phase_ == phase::waiting) {
        if (now >= retry_at_) {
            attempt(now);
        }
        return;
    }
    if (phase_ == phase::starting) {
        if (connection_->connecting.load(std::memory_order_acquire)) {
            if (now - attempt_started_ > connect_timeout) {
                tell_once("Brak połączenia: serwer MQTT " + broker_text(settings_.broker) +
                          " (nazwa lub serwer nie odpowiada); ponawiam próby w tle.");
            }
            return;
        }
        started(now);
        if (phase_ != phase::connecting) {
            return;
        }
    }
    mosquitto* m = connection_->handle.get();
    int code = mosquitto_loop(m, 0, 1);
    const int error_number = errno;
    if (code == MOSQ_ERR_SUCCESS && phase_ == phase::connecting &&
        now - attempt_started_ > connect_timeout) {
        code = MOSQ_ERR_NO_CONN;
    }
    if (fell_back(now)) {
        return;
    }
    if (refused_code_ != 0 && code == MOSQ_ERR_SUCCESS) {
        code = MOSQ_ERR_CONN_REFUSED;
    }
    if (code != MOSQ_ERR_SUCCESS || mosquitto_socket(m) < 0) {
        failed(code == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : code, error_number, now);
        return;
    }
    if (phase_ != phase::connected) {
        return;
    }
    // Once the keep-alive has passed since the last packet out, the library sent a ping.
    if (now >= sent_at_ + std::chrono::seconds(keepalive_s)) {
        sent_at_ = now;
    }
    publish_due_states(now);
    if (reannounce_due_ && now >= *reannounced_ + reannounce_spacing) {
        birth_message(now);
    }
    hand_over();
}

bool mqtt_link::fell_back(clock::time_point now) {
    // A 3.1.1 broker answers MQTT 5 with its "unacceptable protocol version", which the library
    // gives as MQTT 5's reason code.
    if (!mqtt5_ || (refused_code_ != MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && refused_code_ != 1)) {
        return false;
    }
    mqtt5_ = false;
    const int code = mosquitto_int_option(connection_->handle.get(), MOSQ_OPT_PROTOCOL_VERSION,
                                          MQTT_PROTOCOL_V311);
    if (code != MOSQ_ERR_SUCCESS) {
        failed(code, errno, now);
        return true;
    }
    tell_("Serwer MQTT " + broker_text(settings_.broker) +
          " nie obsługuje MQTT 5: łączę przez MQTT 3.1.1, przy którym zachowane polecenie "
          "przychodzące w trakcie połączenia wygląda jak nowe.");
    phase_ = phase::waiting;
    retry_at_ = now;
    return true;
}

std::chrono::milliseconds mqtt_link::next_service_in() const {
    using std::chrono::milliseconds;
    switch (phase_) {
    case phase::waiting:
        return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(retry_at_ - clock::now()));
    case phase::starting:
        return milliseconds(200);
    case phase::connecting:
        return milliseconds(500);
    case phase::connected: {
        // The socket wakes the waits for what arrives; this only sends the ping when the
        // keep-alive has passed since the last packet out. The library counts in whole seconds,
        // so the wait is a second longer: the ping is surely due then, and the broker allows
        // half a keep-alive more before it gives the connection up.
        clock::time_point next = sent_at_ + std::chrono::seconds(keepalive_s + 1);
        for (std::size_t i = 0; i < places_.size(); ++i) {
            if (state_due_[i] && state_sent_[i]) {
                next = std::min(next, *state_sent_[i] + state_spacing);
            }
        }
        if (reannounce_due_) {
            next = std::min(next, *reannounced_ + reannounce_spacing);
        }
        return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(next - clock::now()));
    }
    default:
        return std::chrono::hours(1);
    }
}

void mqtt_link::connect_callback(mosquitto*, void* self, int code) {
    mqtt_link* link = static_cast<connection*>(self)->link;
    if (link == nullptr) {
        return;
    }
    if (code != 0) {
        link->refused_code_ = code;
        return;
    }
    const bool again = link->ever_connected_;
    link->phase_ = phase::connected;
    link->sent_at_ = clock::now();
    link->ever_connected_ = true;
    link->failures_ = 0;
    link->told_.clear();
    link->tell_((again ? "Znów połączono: serwer MQTT " : "Publikuję na serwerze MQTT ") +
                broker_text(link->settings_.broker) + " (" + link->topics_.state + ").");
    // Once per connection: each subscription brings the retained birth message again.
    if (!link->status_topic_.empty()) {
        link->subscribe(link->status_topic_);
    }
    if (link->settings_.commands) {
        for (const place_topics& place : link->places_) {
            link->subscribe(place.commands + "+", MQTT_SUB_OPT_RETAIN_AS_PUBLISHED);
        }
    }
    for (const auto& followed : link->followed_) {
        link->subscribe(followed.first, MQTT_SUB_OPT_NO_LOCAL);
    }
    link->announce();
}

void mqtt_link::subscribe(const std::string& topic, int options) {
    mosquitto* m = connection_->handle.get();
    const int subscribed =
        mqtt5_ ? mosquitto_subscribe_v5(m, nullptr, topic.c_str(), quality, options, nullptr)
               : mosquitto_subscribe(m, nullptr, topic.c_str(), quality);
    sent_at_ = clock::now();
    if (subscribed != MOSQ_ERR_SUCCESS) {
        tell_("Nie udało się zasubskrybować tematu " + topic + " (" + reason_of(subscribed, errno) +
              ").");
    }
}

void mqtt_link::message_callback(mosquitto*, void* self, const mosquitto_message* message) {
    mqtt_link* link = static_cast<connection*>(self)->link;
    if (link == nullptr || message->topic == nullptr) {
        return;
    }
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    for (std::size_t i = 0; link->settings_.commands && i < link->places_.size(); ++i) {
        const std::string& commands = link->places_[i].commands;
        if (std::strncmp(message->topic, commands.c_str(), commands.size()) == 0) {
            if (i < link->take_commands_.size() && link->take_commands_[i]) {
                link->take_commands_[i](message->topic + commands.size(), payload, message->retain);
            }
            return;
        }
    }
    // Home Assistant has (re)started: it has to hear of the entities again. A retained birth
    // message comes with the subscription and is old news: the connection announced already.
    if (!message->retain && link->status_topic_ == message->topic && payload == "online") {
        link->birth_message(clock::now());
    }
    for (const auto& followed : link->followed_) {
        bool matches = false;
        if (mosquitto_topic_matches_sub(followed.first.c_str(), message->topic, &matches) ==
                MOSQ_ERR_SUCCESS &&
            matches) {
            followed.second(payload);
        }
    }
}

void mqtt_link::publish_callback(mosquitto*, void* self, int id) {
    mqtt_link* link = static_cast<connection*>(self)->link;
    if (link != nullptr) {
        link->last_published_ = id;
        std::vector<int>& in_flight = link->in_flight_;
        in_flight.erase(std::remove(in_flight.begin(), in_flight.end(), id), in_flight.end());
    }
}

void mqtt_link::log_callback(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text != nullptr) {
        static_cast<connection*>(self)->last_error = text;
    }
}

void mqtt_link::hand_over() {
    while (phase_ == phase::connected && !outbox_.empty() &&
           in_flight_.size() < longest_in_flight) {
        const mqtt_message message = std::move(outbox_.front());
        outbox_.pop_front();
        int id = 0;
        const int code = mosquitto_publish(connection_->handle.get(), &id, message.topic.c_str(),
                                           static_cast<int>(message.payload.size()),
                                           message.payload.data(), quality, message.retain);
        const clock::time_point now = clock::now();
        if (code == MOSQ_ERR_SUCCESS) {
            in_flight_.push_back(id);
            sent_at_ = now;
        } else if (!publish_failure_told_ ||
                   now - *publish_failure_told_ >= publish_failure_period) {
            publish_failure_told_ = now;
            tell_("Nie udało się opublikować na serwerze MQTT " + broker_text(settings_.broker) +
                  " (" + message.topic + ": " + reason_of(code, errno) + ").");
        }
    }
}

void mqtt_link::take_commands(command_taker take, std::size_t place) {
    if (take_commands_.size() <= place) {
        take_commands_.resize(place + 1);
    }
    take_commands_[place] = std::move(take);
}

void mqtt_link::follow(const std::string& topic, std::function<void(const std::string&)> take) {
    followed_.emplace_back(topic, std::move(take));
    if (phase_ == phase::connected) {
        subscribe(topic, MQTT_SUB_OPT_NO_LOCAL);
    }
}

void mqtt_link::close() {
    take_commands_.clear(); // what arrives while closing is not obeyed
    if (phase_ == phase::closed) {
        return;
    }
    mosquitto* m = connection_->handle.get();
    if (phase_ == phase::connected) {
        // The latest states and what waits go out first, whatever their time.
        for (std::size_t i = 0; i < places_.size(); ++i) {
            if (state_due_[i] && latest_states_[i]) {
                publish(places_[i].state, *latest_states_[i], true);
            }
        }
        while (!outbox_.empty()) {
            in_flight_.clear(); // the library queues what is beyond its own limit
            hand_over();
        }
        // A clean disconnect sends no will: "offline" is published first, and its
        // acknowledgement awaited for a short while.
        int id = -1;
        int code =
            mosquitto_publish(m, &id, topics_.availability.c_str(), 7, "offline", quality, true);
        const auto deadline = clock::now() + closing_time;
        while (code == MOSQ_ERR_SUCCESS && last_published_ != id && mosquitto_socket(m) >= 0 &&
               clock::now() < deadline) {
            code = mosquitto_loop(m, 50, 1);
        }
        // Only after the acknowledgement a clean goodbye: otherwise the connection just closes
        // and the broker publishes the will, "offline" as well. A goodbye that does not go out
        // ends the same way.
        if (last_published_ == id && mosquitto_disconnect(m) == MOSQ_ERR_SUCCESS) {
            [[maybe_unused]] const int flushed = mosquitto_loop(m, 0, 1);
        }
    }
    phase_ = phase::closed;
    // A helper thread still in the connect call keeps the connection until it returns.
    connection_->link = nullptr;
    connection_.reset();
}

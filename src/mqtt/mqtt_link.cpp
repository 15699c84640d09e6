#include "mqtt/mqtt_link.h"

#include <mosquitto.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

constexpr int keepalive_s = 30;
constexpr int quality = 1;
constexpr auto longest_backoff = std::chrono::seconds(60);
constexpr auto connect_timeout = std::chrono::seconds(10);
constexpr auto closing_time = std::chrono::milliseconds(500);

void start_library() {
    static const int started = mosquitto_lib_init();
    (void)started;
}

// The TLS library's words at the end of a logged error line: "...::certificate verify failed".
std::string error_words(const std::string& line) {
    const std::size_t codes = line.rfind("::");
    return codes == std::string::npos ? line : line.substr(codes + 2);
}

bool login_refused(int connack) {
    return connack == 4 || connack == 5 || connack == 0x86 || connack == 0x87;
}

// A handle set up for the broker: login, TLS, and the will when given.
mosquitto_handle make_handle(const mqtt_settings& settings, const std::string& id, void* self,
                             const std::string* will_topic) {
    start_library();
    mosquitto_handle handle(mosquitto_new(id.c_str(), true, self));
    if (!handle) {
        return handle;
    }
    mosquitto* m = handle.get();
    if (!settings.user.empty()) {
        mosquitto_username_pw_set(m, settings.user.c_str(),
                                  settings.password.empty() ? nullptr : settings.password.c_str());
    }
    if (settings.broker.tls) {
        if (settings.ca_file.empty()) {
            mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            mosquitto_tls_set(m, settings.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    if (will_topic != nullptr) {
        mosquitto_will_set(m, will_topic->c_str(), 7, "offline", quality, true);
    }
    return handle;
}

void close_on_exec(int fd) {
    if (fd >= 0) {
        fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
}

} // namespace

void mosquitto_deleter::operator()(mosquitto* handle) const {
    mosquitto_destroy(handle);
}

mqtt_link::mqtt_link(const mqtt_settings& settings, const mqtt_place& place, teller tell)
    : settings_(settings), tell_(std::move(tell)) {
    const std::string slug = place_slug(place.name);
    topics_ = topics_of(settings.topic, slug);
    if (settings.discovery) {
        discovery_facts facts;
        facts.prefix = settings.discovery_prefix;
        facts.place = place.name;
        facts.slug = slug;
        facts.topics = topics_;
        facts.version = place.version;
        facts.radius_km = place.radius_km;
        facts.interval_s = place.interval_s;
        facts.weather = place.weather;
        discovery_ = discovery_messages(facts);
        status_topic_ = discovery_status_topic(settings.discovery_prefix);
    }
    const std::string id = "nimbrovator-" + slug + "-" + std::to_string(getpid());
    handle_ = make_handle(settings, id, this, &topics_.availability);
    if (!handle_) {
        tell_("Nie udało się przygotować klienta MQTT.");
        phase_ = phase::closed;
        return;
    }
    mosquitto_connect_callback_set(handle_.get(), connect_callback);
    mosquitto_message_callback_set(handle_.get(), message_callback);
    mosquitto_publish_callback_set(handle_.get(), publish_callback);
    mosquitto_log_callback_set(handle_.get(), log_callback);
    attempt(clock::now());
}

mqtt_link::~mqtt_link() {
    close();
}

int mqtt_link::socket() const {
    return handle_ && phase_ != phase::closed ? mosquitto_socket(handle_.get()) : -1;
}

bool mqtt_link::wants_write() const {
    return socket() >= 0 && mosquitto_want_write(handle_.get());
}

void mqtt_link::attempt(clock::time_point now) {
    refused_code_ = 0;
    last_error_.clear();
    const broker_address& broker = settings_.broker;
    const int code = first_attempt_ ? mosquitto_connect_async(handle_.get(), broker.host.c_str(),
                                                              broker.port, keepalive_s)
                                    : mosquitto_reconnect_async(handle_.get());
    first_attempt_ = false;
    if (code != MOSQ_ERR_SUCCESS) {
        failed(code, now);
        return;
    }
    close_on_exec(mosquitto_socket(handle_.get()));
    phase_ = phase::connecting;
    attempt_started_ = now;
}

void mqtt_link::failed(int code, clock::time_point now) {
    const bool lost = phase_ == phase::connected;
    phase_ = phase::waiting;
    ++failures_;
    const auto backoff = std::min<clock::duration>(
        std::chrono::seconds(1) * (1 << std::min(failures_ - 1, 6)), longest_backoff);
    retry_at_ = now + backoff;
    const std::string where = "serwer MQTT " + broker_text(settings_.broker);
    if (lost) {
        tell_("Utracono połączenie: " + where + "; ponawiam próby w tle.");
        told_.clear();
    } else if (login_refused(refused_code_) || code == MOSQ_ERR_AUTH) {
        tell_once("Logowanie odrzucone: " + where + " (" +
                  mosquitto_connack_string(refused_code_ ? refused_code_ : 5) +
                  "); ponawiam próby w tle.");
    } else if (code == MOSQ_ERR_TLS) {
        tell_once("Certyfikat niezaufany lub błąd TLS: " + where +
                  (last_error_.empty() ? "" : " (" + error_words(last_error_) + ")") +
                  "; ponawiam próby w tle.");
    } else {
        const std::string reason =
            code == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(code);
        tell_once("Brak połączenia: " + where + " (" + reason + "); ponawiam próby w tle.");
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
    if (!handle_ || phase_ == phase::closed) {
        return;
    }
    const clock::time_point now = clock::now();
    if (phase_ == phase::waiting) {
        if (now >= retry_at_) {
            attempt(now);
        }
        return;
    }
    int code = mosquitto_loop(handle_.get(), 0, 1);
    if (code == MOSQ_ERR_SUCCESS && phase_ == phase::connecting &&
        now - attempt_started_ > connect_timeout) {
        code = MOSQ_ERR_NO_CONN;
    }
    if (refused_code_ != 0 && code == MOSQ_ERR_SUCCESS) {
        code = MOSQ_ERR_CONN_REFUSED;
    }
    if (code != MOSQ_ERR_SUCCESS || mosquitto_socket(handle_.get()) < 0) {
        failed(code == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : code, now);
    }
}

void mqtt_link::connect_callback(mosquitto*, void* self, int code) {
    auto* link = static_cast<mqtt_link*>(self);
    if (code != 0) {
        link->refused_code_ = code;
        return;
    }
    const bool again = link->ever_connected_;
    link->phase_ = phase::connected;
    link->ever_connected_ = true;
    link->failures_ = 0;
    link->told_.clear();
    link->tell_((again ? "Znów połączono: serwer MQTT " : "Publikuję na serwerze MQTT ") +
                broker_text(link->settings_.broker) + " (" + link->topics_.state + ").");
    link->announce();
}

void mqtt_link::message_callback(mosquitto*, void* self, const mosquitto_message* message) {
    auto* link = static_cast<mqtt_link*>(self);
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    // Home Assistant has (re)started: it has to hear of the entities again.
    if (message->topic != nullptr && link->status_topic_ == message->topic && payload == "online") {
        link->announce();
    }
}

void mqtt_link::publish_callback(mosquitto*, void* self, int id) {
    static_cast<mqtt_link*>(self)->last_published_ = id;
}

void mqtt_link::log_callback(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text != nullptr) {
        static_cast<mqtt_link*>(self)->last_error_ = text;
    }
}

void mqtt_link::announce() {
    if (!status_topic_.empty()) {
        mosquitto_subscribe(handle_.get(), nullptr, status_topic_.c_str(), quality);
    }
    publish(topics_.availability, "online", true);
    for (const mqtt_message& message : discovery_) {
        publish(message.topic, message.payload, message.retain);
    }
    if (latest_state_) {
        publish(topics_.state, *latest_state_, true);
    }
}

void mqtt_link::publish(const std::string& topic, const std::string& payload, bool retain) {
    if (phase_ != phase::connected) {
        return; // nothing is queued while disconnected
    }
    mosquitto_publish(handle_.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), quality, retain);
}

void mqtt_link::publish_state(const std::string& document) {
    latest_state_ = document;
    publish(topics_.state, document, true);
}

void mqtt_link::publish_event(const event_message& event) {
    publish(topics_.event, event_payload(event), false);
}

void mqtt_link::close() {
    if (!handle_ || phase_ == phase::closed) {
        return;
    }
    mosquitto* m = handle_.get();
    if (phase_ == phase::connected) {
        // A clean disconnect sends no will: "offline" is published first, and its
        // acknowledgement awaited for a short while.
        int id = -1;
        mosquitto_publish(m, &id, topics_.availability.c_str(), 7, "offline", quality, true);
        const auto deadline = clock::now() + closing_time;
        while (last_published_ != id && mosquitto_socket(m) >= 0 && clock::now() < deadline) {
            if (mosquitto_loop(m, 50, 1) != MOSQ_ERR_SUCCESS) {
                break;
            }
        }
        mosquitto_disconnect(m);
        mosquitto_loop(m, 0, 1);
    }
    phase_ = phase::closed;
    handle_.reset();
}

broker_check check_broker(const mqtt_settings& settings, std::chrono::milliseconds timeout) {
    struct outcome {
        int connack = -1;
        std::string error;
    } got;
    mosquitto_handle handle =
        make_handle(settings, "nimbrovator-check-" + std::to_string(getpid()), &got, nullptr);
    if (!handle) {
        return {broker_verdict::unreachable, "libmosquitto"};
    }
    mosquitto* m = handle.get();
    mosquitto_connect_callback_set(
        m, [](mosquitto*, void* self, int code) { static_cast<outcome*>(self)->connack = code; });
    mosquitto_log_callback_set(m, [](mosquitto*, void* self, int level, const char* text) {
        if (level == MOSQ_LOG_ERR && text != nullptr) {
            static_cast<outcome*>(self)->error = text;
        }
    });
    const broker_address& broker = settings.broker;
    int code = mosquitto_connect_async(m, broker.host.c_str(), broker.port, keepalive_s);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (code == MOSQ_ERR_SUCCESS && got.connack < 0 &&
           std::chrono::steady_clock::now() < deadline) {
        code = mosquitto_loop(m, 100, 1);
    }
    if (got.connack == 0) {
        mosquitto_disconnect(m);
        return {broker_verdict::works, ""};
    }
    if (login_refused(got.connack) || code == MOSQ_ERR_AUTH) {
        return {broker_verdict::login_rejected, mosquitto_connack_string(got.connack)};
    }
    if (code == MOSQ_ERR_TLS) {
        return {broker_verdict::untrusted, error_words(got.error)};
    }
    if (code == MOSQ_ERR_SUCCESS) {
        return {broker_verdict::unreachable, ""};
    }
    return {broker_verdict::unreachable,
            code == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(code)};
}

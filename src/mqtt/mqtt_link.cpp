#include "mqtt/mqtt_link.h"

#include "nimbrovator_config.h"
#include "text/failure_cause.h"
#include "text/system_error.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

constexpr int keepalive_s = 30;
constexpr int quality = 1;
constexpr auto longest_backoff = std::chrono::seconds(60);
constexpr auto connect_timeout = std::chrono::seconds(10);
constexpr auto closing_time = std::chrono::milliseconds(500);
constexpr auto publish_failure_period = std::chrono::minutes(1);
constexpr auto state_spacing = std::chrono::seconds(1);
constexpr auto reannounce_spacing = std::chrono::seconds(30);
// The publishes handed to the library and not yet acknowledged, at most (the library's own
// default, and the receive maximum of Debian's broker).
constexpr std::size_t longest_in_flight = 20;

bool start_library() {
    static const int started = mosquitto_lib_init();
    return started == MOSQ_ERR_SUCCESS;
}

// The TLS library's words at the end of a logged error line: "...::certificate verify failed".
std::string error_words(const std::string& line) {
    const std::size_t codes = line.rfind("::");
    return codes == std::string::npos ? line : line.substr(codes + 2);
}

bool login_refused(int connack) {
    return connack == 4 || connack == 5 || connack == 0x86 || connack == 0x87;
}

struct library_error_name {
    int code;
    const char* text; // null: the cause's own words
    failure_cause cause;
};

// The library's errors in Polish (its own words are English); a cause the storm and weather
// services share is told in the same words.
const library_error_name library_error_names[] = {
    {MOSQ_ERR_EAI, nullptr, failure_cause::name_unresolved},
    {MOSQ_ERR_LOOKUP, nullptr, failure_cause::name_unresolved},
    {MOSQ_ERR_TIMEOUT, nullptr, failure_cause::timeout},
    {MOSQ_ERR_KEEPALIVE, nullptr, failure_cause::timeout},
    {MOSQ_ERR_CONN_LOST, nullptr, failure_cause::broken},
    {MOSQ_ERR_PROTOCOL, nullptr, failure_cause::malformed},
    {MOSQ_ERR_MALFORMED_PACKET, nullptr, failure_cause::malformed},
    {MOSQ_ERR_NO_CONN, "brak połączenia", failure_cause::broken},
    {MOSQ_ERR_CONN_REFUSED, "serwer odmówił połączenia", failure_cause::broken},
    {MOSQ_ERR_AUTH, "logowanie odrzucone", failure_cause::broken},
    {MOSQ_ERR_ACL_DENIED, "brak uprawnień", failure_cause::broken},
    {MOSQ_ERR_TLS, "błąd TLS", failure_cause::broken},
    {MOSQ_ERR_TLS_HANDSHAKE, "błąd TLS", failure_cause::broken},
    {MOSQ_ERR_NOMEM, "brak pamięci", failure_cause::broken},
    {MOSQ_ERR_INVAL, "nieprawidłowy argument", failure_cause::broken},
    {MOSQ_ERR_PAYLOAD_SIZE, "wiadomość za duża", failure_cause::broken},
    {MOSQ_ERR_OVERSIZE_PACKET, "wiadomość za duża", failure_cause::broken},
    {MOSQ_ERR_NOT_SUPPORTED, "nieobsługiwane przez bibliotekę MQTT", failure_cause::broken},
};

std::string reason_of(int code, int error_number) {
    if (code == MOSQ_ERR_ERRNO) {
        return system_error_text(error_number);
    }
    for (const library_error_name& name : library_error_names) {
        if (name.code == code) {
            return name.text != nullptr ? name.text : failure_text({name.cause, ""});
        }
    }
    return "błąd biblioteki MQTT nr " + std::to_string(code);
}

// Why the broker refused the connection, from its CONNACK code (MQTT 3.1.1 and 5).
std::string refusal_of(int connack) {
    switch (connack) {
    case 1:
    case 0x84:
        return "nieobsługiwana wersja protokołu";
    case 2:
    case 0x85:
        return "identyfikator klienta odrzucony";
    case 3:
    case 0x88:
        return "serwer niedostępny";
    case 4:
    case 0x86:
        return "zły login lub hasło";
    case 5:
    case 0x87:
        return "brak uprawnień";
    default:
        return "odmowa połączenia, kod " + std::to_string(connack);
    }
}

// A handle set up for the broker: login, TLS, and the will when given; MQTT 5 when asked.
result<mosquitto_handle> make_handle(const mqtt_settings& settings, const std::string& id,
                                     void* self, const std::string* will_topic,
                                     bool mqtt5 = false) {
    mosquitto_handle handle(start_library() ? mosquitto_new(id.c_str(), true, self) : nullptr);
    if (!handle) {
        return failure("Nie udało się przygotować klienta MQTT.");
    }
    mosquitto* m = handle.get();
    if (mqtt5) {
        const int code = mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        if (code != MOSQ_ERR_SUCCESS) {
            return failure("Nie udało się przygotować klienta MQTT 5 (" + reason_of(code, errno) +
                           ").");
        }
    }
    if (!settings.user.empty()) {
        const int code = mosquitto_username_pw_set(
            m, settings.user.c_str(),
            settings.password.empty() ? nullptr : settings.password.c_str());
        if (code != MOSQ_ERR_SUCCESS) {
            return failure("Nie udało się ustawić loginu MQTT (" + reason_of(code, errno) + ").");
        }
    }
    if (settings.broker.tls) {
        const int code = settings.ca_file.empty()
                             ? mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                             : mosquitto_tls_set(m, settings.ca_file.c_str(), nullptr, nullptr,
                                                 nullptr, nullptr);
        if (code != MOSQ_ERR_SUCCESS) {
            return failure("Nie udało się przygotować TLS dla serwera MQTT (" +
                           reason_of(code, errno) + ").");
        }
    }
    if (will_topic != nullptr) {
        const int code = mosquitto_will_set(m, will_topic->c_str(), 7, "offline", quality, true);
        if (code != MOSQ_ERR_SUCCESS) {
            return failure("Nie udało się ustawić ostatniej woli MQTT na temacie " + *will_topic +
                           " (" + reason_of(code, errno) + ").");
        }
    }
    return handle;
}

// Commands that the watch starts do not inherit the socket; false when that failed.
bool close_on_exec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

// Runs `run(argument)` on a detached helper thread that takes no signals (the caller's waits see
// them); pthread's error code, 0 when it runs. `restored`: false when the caller's own signal
// mask could not be put back.
int start_helper(void* (*run)(void*), void* argument, bool& restored) {
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    restored = true;
    pthread_attr_t attributes;
    int code = pthread_attr_init(&attributes);
    if (code != 0) {
        return code;
    }
    code = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (code == 0) {
        const bool masked = pthread_sigmask(SIG_SETMASK, &all, &before) == 0;
        pthread_t helper;
        code = pthread_create(&helper, &attributes, run, argument);
        restored = !masked || pthread_sigmask(SIG_SETMASK, &before, nullptr) == 0;
    }
    pthread_attr_destroy(&attributes);
    return code;
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

void mosquitto_deleter::operator()(mosquitto* handle) const {
    mosquitto_destroy(handle);
}

mqtt_link::mqtt_link(const mqtt_settings& settings, const mqtt_place& place, teller tell)
    : mqtt_link(settings, std::vector<mqtt_place>{place}, std::move(tell)) {}

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

namespace {

// What --check's connect call shares with its helper thread. The helper holds it too, so that a
// name lookup that outlives the check ends harmlessly.
struct broker_probe {
    mosquitto_handle handle;
    std::string host;
    int port = 0;
    std::atomic<bool> connecting{true};  // the helper is in the connect call
    int connect_code = MOSQ_ERR_SUCCESS; // the helper's, read once `connecting` is false
    int connect_errno = 0;
    int connack = -1; // written in the check's own loop, as is `error`
    std::string error;
};

void* probe_connect(void* argument) {
    const std::unique_ptr<std::shared_ptr<broker_probe>> held(
        static_cast<std::shared_ptr<broker_probe>*>(argument));
    broker_probe& probe = **held;
    probe.connect_code =
        mosquitto_connect_async(probe.handle.get(), probe.host.c_str(), probe.port, keepalive_s);
    probe.connect_errno = errno;
    probe.connecting.store(false, std::memory_order_release);
    return nullptr;
}

} // namespace

broker_check check_broker(const mqtt_settings& settings, std::chrono::milliseconds timeout) {
    const auto probe = std::make_shared<broker_probe>();
    result<mosquitto_handle> handle = make_handle(
        settings, "nimbrovator-check-" + std::to_string(getpid()), probe.get(), nullptr);
    if (!handle) {
        return {broker_verdict::unreachable, handle.error()};
    }
    probe->handle = std::move(*handle);
    mosquitto* m = probe->handle.get();
    mosquitto_connect_callback_set(m, [](mosquitto*, void* self, int code) {
        static_cast<broker_probe*>(self)->connack = code;
    });
    mosquitto_log_callback_set(m, [](mosquitto*, void* self, int level, const char* text) {
        if (level == MOSQ_LOG_ERR && text != nullptr) {
            static_cast<broker_probe*>(self)->error = text;
        }
    });
    const broker_address& broker = settings.broker;
    probe->host = broker.host;
    probe->port = broker.port;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The connect call looks the name up: on a helper thread, so that a name server that never
    // answers ends the check at its time like a broker that never answers.
    auto* held = new std::shared_ptr<broker_probe>(probe);
    bool restored = true; // a mask left in place blocks signals only until the check ends
    const int started = start_helper(probe_connect, held, restored);
    if (started != 0) {
        delete held;
        return {broker_verdict::unreachable, system_error_text(started)};
    }
    while (probe->connecting.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return {broker_verdict::unreachable,
                    failure_text({failure_cause::timeout, "serwer nazw nie odpowiedział"})};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int code = probe->connect_code;
    const int connect_errno = probe->connect_errno;
    while (code == MOSQ_ERR_SUCCESS && probe->connack < 0 &&
           std::chrono::steady_clock::now() < deadline) {
        code = mosquitto_loop(m, 100, 1);
    }
    if (probe->connack == 0) {
        // The broker took the login; a failed goodbye changes nothing of that.
        const int goodbye = mosquitto_disconnect(m);
        return {broker_verdict::works,
                goodbye == MOSQ_ERR_SUCCESS ? "" : reason_of(goodbye, errno)};
    }
    if (login_refused(probe->connack) || code == MOSQ_ERR_AUTH) {
        return {broker_verdict::login_rejected, refusal_of(probe->connack)};
    }
    if (code == MOSQ_ERR_TLS) {
        return {broker_verdict::untrusted, error_words(probe->error)};
    }
    if (code == MOSQ_ERR_SUCCESS) {
        return {broker_verdict::unreachable, failure_text({failure_cause::timeout, ""})};
    }
    return {broker_verdict::unreachable,
            reason_of(code, code == probe->connect_code ? connect_errno : errno)};
}

#include "mqtt/mosquitto_setup.h"

#include "text/failure_cause.h"
#include "text/system_error.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

namespace {

bool start_library() {
    static const int started = mosquitto_lib_init();
    return started == MOSQ_ERR_SUCCESS;
}

} // namespace

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
                                     void* self, const std::string* will_topic, bool mqtt5) {
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

void mosquitto_deleter::operator()(mosquitto* handle) const {
    mosquitto_destroy(handle);
}

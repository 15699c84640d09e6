#include "mqtt/broker_check.h"

#include "text/failure_cause.h"
#include "text/system_error.h"

#include <mosquitto.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

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

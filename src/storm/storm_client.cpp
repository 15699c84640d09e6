#include "storm/storm_client.h"

#include "nimbrovator_config.h"
#include "soapserwerSOAPBindingProxy.h"
#include "state/run_deadline.h"
#include "state/run_state.h"
#include "text/text.h"

// The namespace table of the client; this is the one place that defines it.
#include "serwerSOAPBinding.nsmap"

#include <arpa/inet.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

// The client's set-up, its connection and the storage of its calls.
struct storm_client::state {
    explicit state(storm_service_settings chosen) : settings(std::move(chosen)) {
        service_endpoint = "https://" + settings.host + "/soap.php";
    }
    ~state();

    storm_service_settings settings;
    std::string service_endpoint; // "https://" + host + "/soap.php": what the envelope names
    // The SOAP client object, made when a request first needs it: making it sets up the TLS
    // library (seeding its random generator), which a run answered from the caches never needs.
    // Replies are read as UTF-8 so that Polish text in them arrives unchanged. The requests, one
    // after another, share one connection and so one TLS handshake; one that the service has
    // closed meanwhile is replaced before sending.
    std::unique_ptr<serwerSOAPBindingProxy> proxy;
    // The copies of calls on other threads that ended with their connection open: the next such
    // calls take them rather than connect and shake hands again (a process that makes one report
    // after another, the watch's worker, asks over the same few connections all along).
    std::vector<std::unique_ptr<serwerSOAPBindingProxy>> idle;
    // Guards the set-up, on the main thread or on a request's own, and the copies made from the
    // client object for requests on other threads.
    std::mutex mutex;
    KeyAPIstruct key_header; // its klucz points at storm_key
    // The namespace table for the host: the generated one with the built-in endpoint replaced.
    // It and its texts must outlive every call.
    std::vector<std::string> namespace_uris;
    std::vector<Namespace> namespace_table;
    bool tls_context_ready = false;
    std::string ca_dir; // the system's CA directory, while the TLS context may read it
    // The runtime's own read and write, wrapped (copies of the client object keep the wrappers).
    size_t (*runtime_recv)(soap*, char*, size_t) = nullptr;
    int (*runtime_send)(soap*, const char*, size_t) = nullptr;

    // Where requests go: the settings' endpoint URL, else the service's.
    const std::string& request_endpoint() const {
        return settings.endpoint_url.empty() ? service_endpoint : settings.endpoint_url;
    }
};

namespace {

const std::string built_in_endpoint = "https://" NIMBROVATOR_STORM_HOST "/soap.php";

// The client of the process: the built-in service's until the run chooses its own (the object
// alone sets up nothing). It is gone before the TLS library's own clean-up at exit.
std::unique_ptr<storm_client>& process_client_slot() {
    static std::unique_ptr<storm_client> client =
        std::make_unique<storm_client>(built_in_storm_service());
    return client;
}

storm_client::state& process_state() {
    return process_client_slot()->own();
}

// The client object that this thread's calls use: the process's own, or a copy made for a
// request on another thread (see call_apart).
thread_local serwerSOAPBindingProxy* apart_proxy = nullptr;

// The state a runtime context belongs to (its `user` field; copies keep it).
storm_client::state& state_of(soap* ctx) {
    return *static_cast<storm_client::state*>(ctx->user);
}

// --- the run's deadline -------------------------------------------------------------------------

// A time-out of the runtime (seconds; below 0, microseconds) cut to the time left in the run.
int within_deadline(int seconds) {
    const std::optional<std::chrono::milliseconds> left = run_time_left();
    if (!left) {
        return seconds;
    }
    const long long left_us = std::max<long long>(left->count() * 1000, 1);
    if (seconds > 0 && seconds * 1000000LL <= left_us) {
        return seconds;
    }
    return -static_cast<int>(std::min<long long>(left_us, 2000000000LL));
}

// The sockets that a read or a write is waiting on while the run has a deadline. At the deadline
// a thread of its own shuts them down, which ends the wait at once: the runtime's time-outs
// count per read, and a reply trickled in, a byte at a time, would outlast them.
struct deadline_watch {
    std::mutex mutex;
    std::condition_variable changed;
    std::multiset<int> waiting;
    pid_t watching_in = 0; // the process whose thread watches (a forked child starts its own)
};

deadline_watch& watch() {
    static deadline_watch* const made = new deadline_watch; // lives until the process ends
    return *made;
}

void shut_down_waiting(deadline_watch& watched) {
    for (const int socket : watched.waiting) {
        shutdown(socket, SHUT_RDWR);
    }
}

void watch_deadline() {
    deadline_watch& watched = watch();
    std::unique_lock<std::mutex> lock(watched.mutex);
    for (;;) {
        const std::optional<run_clock::time_point> deadline = run_deadline();
        if (!deadline) {
            watched.changed.wait(lock);
        } else if (run_clock::now() < *deadline) {
            watched.changed.wait_until(lock, *deadline);
        } else {
            shut_down_waiting(watched);
            watched.changed.wait(lock);
        }
    }
}

// A read or write on `socket` in progress, watched while the run has a deadline.
class deadline_guard {
  public:
    explicit deadline_guard(int socket) {
        if (socket < 0 || !run_deadline()) {
            return;
        }
        deadline_watch& watched = watch();
        const std::lock_guard<std::mutex> lock(watched.mutex);
        if (watched.watching_in != getpid()) {
            watched.watching_in = getpid();
            std::thread(watch_deadline).detach();
        }
        socket_ = socket;
        watched.waiting.insert(socket);
        watched.changed.notify_all();
    }
    ~deadline_guard() {
        if (socket_ >= 0) {
            deadline_watch& watched = watch();
            const std::lock_guard<std::mutex> lock(watched.mutex);
            watched.waiting.erase(watched.waiting.find(socket_));
        }
    }
    deadline_guard(const deadline_guard&) = delete;
    deadline_guard& operator=(const deadline_guard&) = delete;

  private:
    int socket_ = -1;
};

// Whether the last read on this thread ended at its time-out (the runtime reads that as the end
// of the reply, as it does a closed connection).
thread_local bool last_recv_timed_out = false;

size_t recv_by_deadline(soap* ctx, char* buffer, size_t length) {
    last_recv_timed_out = false;
    if (run_deadline_passed()) {
        return 0; // read as the end of the reply: the call fails
    }
    const storm_client::state& client = state_of(ctx);
    ctx->recv_timeout = within_deadline(client.settings.limits.recv_timeout);
    const deadline_guard guard(static_cast<int>(ctx->socket));
    const auto started = std::chrono::steady_clock::now();
    const size_t n = client.runtime_recv(ctx, buffer, length);
    if (n == 0 && ctx->recv_timeout != 0) {
        // The time-out: seconds, or below 0 microseconds.
        const long long timeout_us = ctx->recv_timeout > 0
                                         ? ctx->recv_timeout * 1000000LL
                                         : -static_cast<long long>(ctx->recv_timeout);
        const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - started);
        last_recv_timed_out = waited.count() >= timeout_us * 9 / 10;
    }
    return n;
}

int send_by_deadline(soap* ctx, const char* data, size_t length) {
    if (run_deadline_passed()) {
        return SOAP_EOF;
    }
    const storm_client::state& client = state_of(ctx);
    ctx->send_timeout = within_deadline(client.settings.limits.send_timeout);
    const deadline_guard guard(static_cast<int>(ctx->socket));
    return client.runtime_send(ctx, data, length);
}

void apply_limits(storm_client::state& client, soap* ctx) {
    if (ctx->frecv != recv_by_deadline) {
        client.runtime_recv = ctx->frecv;
        ctx->frecv = recv_by_deadline;
    }
    if (ctx->fsend != send_by_deadline) {
        client.runtime_send = ctx->fsend;
        ctx->fsend = send_by_deadline;
    }
    const storm_limits& limits = client.settings.limits;
    ctx->connect_timeout = within_deadline(limits.connect_timeout);
    ctx->send_timeout = within_deadline(limits.send_timeout);
    ctx->recv_timeout = within_deadline(limits.recv_timeout);
    ctx->transfer_timeout = within_deadline(limits.transfer_timeout);
    ctx->recv_maxlength = limits.recv_maxlength;
}

// The host of an endpoint URL "https://HOST[:PORT]/PATH" (an IPv6 address without brackets).
std::string endpoint_host(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::string authority = url.substr(start, url.find('/', start) - start);
    if (!authority.empty() && authority[0] == '[') {
        return authority.substr(1, authority.find(']') - 1);
    }
    return authority.substr(0, authority.find(':'));
}

// The certificate's names are matched by the TLS library as RFC 6125 has it (no partial
// wildcards, the subject's common name only when there is no alternative name) in place of the
// runtime's own looser check.
bool require_host_name(const storm_client::state& client) {
    soap* ctx = client.proxy->soap;
    const std::string host = endpoint_host(client.request_endpoint());
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx->ctx);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    unsigned char address[16];
    const bool is_address = inet_pton(AF_INET, host.c_str(), address) == 1 ||
                            inet_pton(AF_INET6, host.c_str(), address) == 1;
    const int set = is_address ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                               : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
    if (set != 1) {
        return false;
    }
    ctx->ssl_flags |= SOAP_SSL_SKIP_HOST_CHECK;
    return true;
}

// Trusts exactly the configured CA file, else the system's hashed CA directory (SSL_CERT_DIR
// when set), from which a certificate is read only when a chain needs it. Never the system's
// whole CA bundle: parsing that costs more than all the rest of a run.
int make_tls_context(storm_client::state& client) {
    const char* dir = std::getenv("SSL_CERT_DIR");
    std::string& ca_dir = client.ca_dir;
    ca_dir = dir != nullptr && dir[0] != '\0' ? dir : "/etc/ssl/certs";
    const std::string& ca_file = client.settings.ca_file;
    const bool own_ca = !ca_file.empty();
    return soap_ssl_client_context(
        client.proxy->soap, SOAP_SSL_DEFAULT | SOAP_SSL_NO_DEFAULT_CA_PATH, nullptr, nullptr,
        own_ca ? ca_file.c_str() : nullptr, own_ca ? nullptr : ca_dir.c_str(), nullptr);
}

// Closes the connections of the copies kept for calls on other threads, and the copies.
void drop_idle_copies(storm_client::state& client) {
    for (const std::unique_ptr<serwerSOAPBindingProxy>& copy : client.idle) {
        soap_force_closesock(copy->soap);
    }
    client.idle.clear();
}

// Closes the kept connections and frees the TLS context and the cached TLS session.
void drop_tls_context(storm_client::state& client) {
    client.tls_context_ready = false;
    drop_idle_copies(client);
    if (!client.proxy) {
        return;
    }
    soap* ctx = client.proxy->soap;
    soap_force_closesock(ctx);
    if (ctx->session != nullptr) {
        SSL_SESSION_free(ctx->session);
        ctx->session = nullptr;
    }
    ctx->session_host[0] = '\0';
    if (ctx->ctx != nullptr) {
        SSL_CTX_free(ctx->ctx);
        ctx->ctx = nullptr;
    }
}

// The server must prove its identity with a certificate of a trusted CA for the endpoint's
// host; a server that cannot is refused before anything is sent.
void set_up_tls_context(storm_client::state& client) {
    if (client.tls_context_ready) {
        return;
    }
    client.tls_context_ready = make_tls_context(client) == SOAP_OK && require_host_name(client);
    if (!client.tls_context_ready) {
        drop_tls_context(client);
    }
}

// The generated namespace table with every URI that holds the built-in endpoint rewritten for
// the service's own, so that the envelope names the service as a build for its host would.
void install_namespace_table(storm_client::state& client) {
    client.namespace_uris.clear();
    client.namespace_table.clear();
    const Namespace* entry = namespaces;
    for (; entry->id != nullptr; ++entry) {
        std::string uri = entry->ns != nullptr ? entry->ns : "";
        const std::size_t at = uri.find(built_in_endpoint);
        if (at != std::string::npos) {
            uri.replace(at, built_in_endpoint.size(), client.service_endpoint);
        }
        client.namespace_uris.push_back(uri);
    }
    // The texts are all in place: their addresses no longer move.
    for (std::size_t i = 0; i < client.namespace_uris.size(); ++i) {
        Namespace copy = namespaces[i];
        copy.ns = copy.ns != nullptr ? client.namespace_uris[i].c_str() : nullptr;
        client.namespace_table.push_back(copy);
    }
    client.namespace_table.push_back(*entry);
    soap_set_namespaces(client.proxy->soap, client.namespace_table.data());
}

// Runs at exit before the TLS library's own clean-up, which was registered earlier.
void release_client_at_exit() {
    process_client_slot().reset();
}

void init_tls_once() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    soap_ssl_init();
    std::atexit(release_client_at_exit);
    // A server that closes the connection while the request is being written must give a
    // failed call, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
}

void assemble_key(const std::string& key) {
    if (!key.empty()) {
        key.copy(storm_key, sizeof storm_key - 1);
        storm_key[std::min(key.size(), sizeof storm_key - 1)] = '\0';
        return;
    }
    std::size_t n = 0;
    for (const std::string& piece : storm_key_pieces) {
        for (char c : piece) {
            if (n + 1 < sizeof storm_key) {
                storm_key[n++] = c;
            }
        }
    }
    storm_key[n] = '\0';
}

// Makes the client object on first use, then readies it for the next request: the key, the
// header, TLS, the limits cut to the run's deadline. The client's mutex is held.
void prepare_locked(storm_client::state& client) {
    init_tls_once();
    if (!client.proxy) {
        client.proxy = std::make_unique<serwerSOAPBindingProxy>(
            SOAP_C_UTFSTRING | SOAP_IO_KEEPALIVE, SOAP_IO_DEFAULT | SOAP_IO_KEEPALIVE);
        client.proxy->soap->user = &client;
        install_namespace_table(client);
        client.proxy->soap_endpoint =
            client.settings.endpoint_url.empty() ? nullptr : client.settings.endpoint_url.c_str();
    }
    assemble_key(client.settings.key);
    // The runtime drops the header after every call, so it is installed each time.
    client.key_header.klucz = storm_key;
    client.proxy->soap_header(&client.key_header);
    apply_limits(client, client.proxy->soap);
    set_up_tls_context(client);
}

serwerSOAPBindingProxy& proxy() {
    if (apart_proxy != nullptr) {
        return *apart_proxy;
    }
    storm_client::state& client = process_state();
    if (!client.proxy) {
        const std::lock_guard<std::mutex> lock(client.mutex);
        prepare_locked(client);
    }
    return *client.proxy;
}

// The SOAPAction of an operation (its name as on the wire), as the generated client sends it.
std::string action(const char* operation) {
    return process_state().service_endpoint + "#" + operation;
}

const char* request_endpoint() {
    return process_state().request_endpoint().c_str();
}

} // namespace

storm_client::state::~state() {
    if (proxy) {
        proxy->destroy();
        drop_tls_context(*this);
        proxy.reset(); // before the namespace table it points at
    }
}

storm_client::storm_client(storm_service_settings settings)
    : state_(std::make_unique<state>(std::move(settings))) {}

storm_client::~storm_client() = default;

const storm_service_settings& storm_client::settings() const {
    return state_->settings;
}

storm_service_settings built_in_storm_service() {
    storm_service_settings settings;
    settings.host = NIMBROVATOR_STORM_HOST;
    settings.ca_file = NIMBROVATOR_STORM_CA_FILE;
    return settings;
}

std::string built_in_storm_key() {
    std::string key;
    for (const std::string& piece : storm_key_pieces) {
        key += piece;
    }
    return key;
}

void use_storm_service(const storm_service_settings& settings) {
    process_client_slot() = std::make_unique<storm_client>(settings);
}

void use_storm_service(const std::string& host, const std::string& ca_file,
                       const std::string& key) {
    storm_service_settings settings;
    settings.host = host;
    settings.ca_file = ca_file;
    settings.key = key;
    use_storm_service(settings);
}

const storm_service_settings& storm_settings() {
    return process_state().settings;
}

std::string storm_default_endpoint() {
    return "https://" + storm_host() + "/soap.php";
}

std::string storm_host() {
    return storm_settings().host;
}

void close_storm_connection() {
    storm_client::state& client = process_state();
    const std::lock_guard<std::mutex> lock(client.mutex);
    drop_idle_copies(client);
    if (client.proxy) {
        soap_force_closesock(client.proxy->soap);
    }
}

void prepare_storm_request() {
    storm_client::state& client = process_state();
    const std::lock_guard<std::mutex> lock(client.mutex);
    prepare_locked(client);
}

int call_key_api(const std::string& klucz, bool& verdict) {
    return proxy().KeyAPI(request_endpoint(), action("KeyAPI").c_str(), klucz, verdict);
}

int call_miejscowosc(const std::wstring& nazwa, std::string& reply) {
    return proxy().miejscowosc(request_endpoint(), action("miejscowosc").c_str(), nazwa, reply);
}

int call_ostrzezenia_pogodowe(float y, float x, std::string& reply) {
    return proxy().ostrzezenia_USCOREpogodowe(request_endpoint(),
                                              action("ostrzezenia_pogodowe").c_str(), y, x, reply);
}

int call_szukaj_burzy(const std::string& y, const std::string& x, int promien, std::string& reply) {
    return proxy().szukaj_USCOREburzy(request_endpoint(), action("szukaj_burzy").c_str(), y, x,
                                      promien, reply);
}

int call_skrot(const std::string& kierunek, std::string& reply) {
    return proxy().skrot(request_endpoint(), action("skrot").c_str(), kierunek, reply);
}

std::string storm_fault_text() {
    const char* text = soap_fault_string(proxy().soap);
    const char** detail = soap_faultdetail(proxy().soap);
    std::string result = text != nullptr ? text : "";
    if (detail != nullptr && *detail != nullptr && **detail != '\0') {
        result += result.empty() ? *detail : std::string(": ") + *detail;
    }
    return result;
}

std::string storm_tls_reason(const std::string& fault) {
    std::string reason;
    std::size_t start = 0;
    while (start <= fault.size()) {
        const std::size_t end = std::min(fault.find('\n', start), fault.size());
        std::string line = fault.substr(start, end - start);
        const std::size_t codes = line.rfind("::");
        if (line.rfind("error:", 0) == 0 && codes != std::string::npos) {
            line.erase(0, codes + 2);
        }
        if (!line.empty() && line.rfind("SSL_ERROR_", 0) != 0) {
            reason += (reason.empty() ? "" : ": ") + line;
        }
        start = end + 1;
    }
    return reason;
}

namespace {

// A SOAP Fault that names the key: the storm service refused it.
bool is_key_fault(const std::string& fault) {
    for (const char* word : {"klucz", "Klucz", "key", "Key"}) {
        if (fault.find(word) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool has_text(const char* text, const char* part) {
    return text != nullptr && std::strstr(text, part) != nullptr;
}

// Why the last call on this thread's client object failed with `status`.
request_failure failure_of(int status) {
    soap* ctx = proxy().soap;
    const char* text = soap_fault_string(ctx);
    const char** detail_text = soap_faultdetail(ctx);
    const char* detail = detail_text != nullptr ? *detail_text : nullptr;
    if (ctx->recv_maxlength > 0 && ctx->count > ctx->recv_maxlength) {
        return {failure_cause::too_large, ""};
    }
    if (run_deadline_passed() || ctx->errnum == ETIMEDOUT || has_text(text, "Timeout") ||
        has_text(text, "timed out")) {
        return {failure_cause::timeout, ""};
    }
    switch (status) {
    case SOAP_TCP_ERROR:
        if (has_text(detail, "getaddrinfo") || has_text(detail, "get host by name")) {
            return {failure_cause::name_unresolved, ""};
        }
        return ctx->errnum == ECONNREFUSED ? request_failure{failure_cause::refused, ""}
                                           : request_failure{failure_cause::broken, ""};
    case SOAP_SSL_ERROR:
        return {failure_cause::certificate, storm_tls_reason(storm_fault_text())};
    case SOAP_EOF:
        return {last_recv_timed_out ? failure_cause::timeout : failure_cause::broken, ""};
    case SOAP_CLI_FAULT:
    case SOAP_SVR_FAULT:
    case SOAP_FAULT: {
        const std::string fault = text != nullptr ? text : "";
        return {is_key_fault(fault) ? failure_cause::key_rejected : failure_cause::server_error,
                fault};
    }
    default:
        break;
    }
    if (status >= 100 && status < 600 && status != 200) {
        return {failure_cause::server_error, "HTTP " + std::to_string(status)};
    }
    return {failure_cause::malformed, ""};
}

// The SOAP runtime's report of this thread's last failed call (end_storm_call).
thread_local std::string last_library_report;

} // namespace

std::string storm_library_report() {
    return last_library_report;
}

void release_storm_call() {
    proxy().destroy();
}

namespace {

// How many copies with an open connection a process keeps for its calls on other threads: as
// many as a report asks for at once.
constexpr std::size_t most_idle_copies = 2;

// A context of the call's own sharing the TLS context, set up here by the first request that
// goes out: one kept from an earlier call, with its connection, or a new copy without one.
std::unique_ptr<serwerSOAPBindingProxy> context_apart(storm_client::state& client) {
    const std::lock_guard<std::mutex> lock(client.mutex);
    prepare_locked(client);
    if (!client.idle.empty()) {
        std::unique_ptr<serwerSOAPBindingProxy> kept = std::move(client.idle.back());
        client.idle.pop_back();
        apply_limits(client, kept->soap); // this run's time-outs
        return kept;
    }
    std::unique_ptr<serwerSOAPBindingProxy> own(client.proxy->copy());
    if (own) {
        // The copy must not touch the process's kept connection or its TLS session.
        own->soap->socket = SOAP_INVALID_SOCKET;
        own->soap->ssl = nullptr;
        own->soap->bio = nullptr;
        own->soap->session = nullptr;
        own->soap->session_host[0] = '\0';
    }
    return own;
}

// After the call: a context whose call went well and whose connection the service keeps open is
// kept for the next call apart; any other is closed.
void end_context_apart(storm_client::state& client, std::unique_ptr<serwerSOAPBindingProxy> used,
                       int status) {
    if (status == SOAP_OK && soap_valid_socket(used->soap->socket) && used->soap->keep_alive != 0) {
        const std::lock_guard<std::mutex> lock(client.mutex);
        if (client.tls_context_ready && client.idle.size() < most_idle_copies) {
            client.idle.push_back(std::move(used));
            return;
        }
    }
    soap_force_closesock(used->soap);
}

} // namespace

int call_apart(const std::function<int()>& call, request_failure& failure) {
    storm_client::state& client = process_state();
    std::unique_ptr<serwerSOAPBindingProxy> own = context_apart(client);
    if (!own) {
        failure = {failure_cause::broken, ""};
        return SOAP_EOM;
    }
    own->soap_endpoint = client.proxy->soap_endpoint;
    KeyAPIstruct header;
    header.klucz = storm_key;
    own->soap_header(&header);
    apart_proxy = own.get();
    const int status = call();
    failure = end_storm_call(status);
    apart_proxy = nullptr;
    end_context_apart(client, std::move(own), status);
    return status;
}

request_failure end_storm_call(int status) {
    request_failure failure = status != 0 ? failure_of(status) : request_failure{};
    last_library_report.clear();
    if (status != 0) {
        // The fault text comes from the server: no control sequence of its reaches the terminal.
        std::ostringstream report;
        proxy().soap_stream_fault(report);
        last_library_report = strip_control_chars(report.str());
    }
    release_storm_call();
    return failure;
}

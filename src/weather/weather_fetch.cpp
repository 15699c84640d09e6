#include "weather/weather_fetch.h"

#include "nimbrovator_config.h"
#include "state/run_deadline.h"
#include "state/run_state.h"
#include "store/reply_cache.h"
#include "text/system_error.h"
#include "text/text.h"
#include "weather/curl_library.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct curl_handle_deleter {
    void operator()(CURL* handle) const { curl_library()->easy_cleanup(handle); }
};
using curl_handle = std::unique_ptr<CURL, curl_handle_deleter>;

// The handles of transfers that went well, each with the connection it keeps open: the next
// requests take them rather than connect (and shake hands) again. A process that makes one
// report after another (the watch's worker) asks over the same few connections all along.
struct idle_handles {
    std::mutex mutex;
    std::vector<curl_handle> handles;
};
// As many as a report asks for at once.
constexpr std::size_t most_idle_handles = 2;

idle_handles& idle() {
    static idle_handles* const kept = new idle_handles; // lives until the process ends
    return *kept;
}

// A handle for a request: a kept one with its options reset, or a new one.
curl_handle take_handle(const curl_functions& lib) {
    {
        const std::lock_guard<std::mutex> lock(idle().mutex);
        std::vector<curl_handle>& handles = idle().handles;
        if (!handles.empty()) {
            curl_handle kept = std::move(handles.back());
            handles.pop_back();
            lib.easy_reset(kept.get());
            return kept;
        }
    }
    return curl_handle(lib.easy_init());
}

void keep_handle(curl_handle handle) {
    const std::lock_guard<std::mutex> lock(idle().mutex);
    if (idle().handles.size() < most_idle_handles) {
        idle().handles.push_back(std::move(handle));
    }
}

// The JSON reader gives up with an exception on nesting deeper than 1000 levels; anything
// nested deeper than this is refused before it gets there. Brackets inside strings do not count.
constexpr int max_json_nesting = 256;

bool nested_too_deep(const std::string& text) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (char c : text) {
        if (in_string) {
            in_string = escaped || c != '"';
            escaped = !escaped && c == '\\';
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_json_nesting) {
                return true;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// The reader's exceptions end here as a failed parse: it throws, for one, on nesting beyond its
// own limit, which brackets inside comments can hide from the count above.
bool parse_json(const std::string& text, Json::Value& document) {
    Json::Reader reader;
    try {
        return !nested_too_deep(text) && reader.parse(text, document, false);
    } catch (const std::exception&) {
        return false;
    }
}

// The server must show a certificate of a trusted CA for the URL's host (libcurl's own check:
// a wildcard only as a whole first label, the common name only without alternative names)
// before the request, and with it the key, is sent. Trusted: exactly the CA file, else the
// system's hashed CA directory, never the whole bundle (parsing that costs more than a run).
void trust_for_weather(const curl_functions& lib, CURL* curl, const std::string& ca_file) {
    lib.easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    lib.easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!ca_file.empty()) {
        lib.easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
        lib.easy_setopt(curl, CURLOPT_CAPATH, nullptr);
        return;
    }
    const char* dir = std::getenv("SSL_CERT_DIR");
    lib.easy_setopt(curl, CURLOPT_CAINFO, nullptr);
    lib.easy_setopt(curl, CURLOPT_CAPATH,
                    dir != nullptr && dir[0] != '\0' ? dir : "/etc/ssl/certs");
}

// Why a transfer failed with `code`; `words`: the transfer library's own; `os_error`: the
// system's error number of the connection.
request_failure failure_of(CURLcode code, const std::string& words, long os_error) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return {failure_cause::name_unresolved, ""};
    case CURLE_COULDNT_CONNECT:
        return os_error == ECONNREFUSED
                   ? request_failure{failure_cause::refused, ""}
                   : request_failure{failure_cause::broken,
                                     os_error != 0 ? system_error_text(static_cast<int>(os_error))
                                                   : words};
    case CURLE_OPERATION_TIMEDOUT:
        return {failure_cause::timeout, ""};
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return {failure_cause::certificate, words};
    case CURLE_FILESIZE_EXCEEDED:
    case CURLE_WRITE_ERROR:
        return {failure_cause::too_large, ""};
    default:
        return {failure_cause::broken, words};
    }
}

weather_reply fetch_from_service(const std::string& path_and_query) {
    const weather_endpoint& endpoint = weather_service_endpoint();
    const std::string url = endpoint.base_url + path_and_query;
    weather_reply reply;
    std::string& response = reply.body;
    // libcurl is loaded and set up only when a request goes out (curl_library).
    const curl_functions* lib = curl_library();
    if (lib == nullptr) {
        return reply;
    }
    curl_handle handle = take_handle(*lib);
    if (!handle) {
        return reply;
    }
    CURL* curl = handle.get();
    // The run's deadline cuts both limits (a limit of 0 would be none at all).
    const std::optional<std::chrono::milliseconds> left = run_time_left();
    if (left && left->count() == 0) {
        reply.failure = "run deadline passed";
        reply.failure_reason = {failure_cause::timeout, ""};
        return reply;
    }
    const auto within_deadline = [&left](long limit_ms) {
        return left ? std::min<long>(limit_ms, static_cast<long>(left->count())) : limit_ms;
    };
    lib->easy_setopt(curl, CURLOPT_URL, url.c_str());
    lib->easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_to_response);
    lib->easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    lib->easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, within_deadline(endpoint.connect_timeout_ms));
    lib->easy_setopt(curl, CURLOPT_TIMEOUT_MS, within_deadline(endpoint.transfer_timeout_ms));
    lib->easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    const bool tls = url.rfind("https://", 0) == 0;
    lib->easy_setopt(curl, CURLOPT_PROTOCOLS_STR, tls ? "https" : "http");
    if (tls) {
        trust_for_weather(*lib, curl, endpoint.ca_file);
    }
    char failure[CURL_ERROR_SIZE] = "";
    lib->easy_setopt(curl, CURLOPT_ERRORBUFFER, failure);
    // A body announced longer than the limit is refused before it arrives.
    lib->easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(max_weather_reply_bytes));
    // Whatever arrived is handed on: for the text report a failed transfer shows up as an
    // empty or malformed body.
    const CURLcode code = lib->easy_perform(curl);
    reply.transferred = code == CURLE_OK;
    if (code != CURLE_OK) {
        reply.failure = failure[0] != '\0' ? failure : lib->easy_strerror(code);
        reply.untrusted =
            code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE;
        // Only the write callback refuses a chunk: the body outgrew the limit.
        reply.too_large = code == CURLE_FILESIZE_EXCEEDED || code == CURLE_WRITE_ERROR;
        long os_error = 0;
        lib->easy_getinfo(curl, CURLINFO_OS_ERRNO, &os_error);
        reply.failure_reason = failure_of(code, reply.failure, os_error);
    }
    lib->easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.http_status);
    curl_off_t retry_after = 0;
    if (lib->easy_getinfo(curl, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK &&
        retry_after > 0) {
        reply.retry_after_s = static_cast<long>(retry_after);
    }
    if (code == CURLE_OK) {
        keep_handle(std::move(handle));
    }
    return reply;
}

bool is_usable(const weather_reply& reply) {
    Json::Value document;
    if (!reply.transferred || reply.http_status != 200 || !parse_json(reply.body, document) ||
        !document.isObject()) {
        return false;
    }
    return document["main"].isObject() || document["list"].isArray();
}

// The cache key of a request: the service and the request without the key.
std::string cache_key(const std::string& path_and_query) {
    const std::size_t key_at = path_and_query.find("&APPID=");
    return weather_service_endpoint().base_url + path_and_query.substr(0, key_at);
}

// The request through the reply cache; safe on any thread.
weather_reply fetch_through_cache(const std::string& path_and_query) {
    weather_reply reply;
    const cached_reply cached = cached_request(
        g_db_path, reply_cache_policy(), cache_key(path_and_query),
        [&]() -> std::optional<std::string> {
            reply = fetch_from_service(path_and_query);
            return is_usable(reply) ? std::optional<std::string>(reply.body) : std::nullopt;
        });
    if (cached.ok && cached.stale) {
        reply.failed_request = std::make_shared<const weather_reply>(reply);
    }
    if (cached.ok) {
        reply.transferred = true;
        reply.http_status = 200;
        reply.body = cached.text;
        reply.age_s = cached.age_s;
        reply.stale = cached.stale;
    }
    return reply;
}

// Requests started ahead of their report, by path.
std::map<std::string, std::future<weather_reply>>& started() {
    static std::map<std::string, std::future<weather_reply>> requests;
    return requests;
}

} // namespace

void start_weather_requests(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        if (started().count(path) != 0) {
            continue; // started or supplied before
        }
        started()[path] =
            std::async(std::launch::async, [path] { return fetch_through_cache(path); });
    }
}

void supply_weather_reply(const std::string& path_and_query, const weather_reply& reply) {
    std::promise<weather_reply> supplied;
    supplied.set_value(reply);
    started()[path_and_query] = supplied.get_future();
}

void forget_weather_replies() {
    started().clear();
}

weather_reply fetch_weather(const std::string& path_and_query) {
    set_polish_locale();
    const auto ahead = started().find(path_and_query);
    if (ahead == started().end()) {
        return fetch_through_cache(path_and_query);
    }
    weather_reply reply = ahead->second.get();
    started().erase(ahead);
    return reply;
}

namespace {

std::string fetch(const std::string& path_and_query) {
    return fetch_weather(path_and_query).body;
}

// The service of this run: the host shown in messages and the key sent with every request.
std::string service_host = split_weather_address(NIMBROVATOR_WEATHER_HOST).host;
std::string service_key = NIMBROVATOR_WEATHER_KEY;

std::string base_url(const weather_address& address) {
    return address.scheme + "://" + address.host;
}

} // namespace

weather_address split_weather_address(const std::string& setting) {
    for (const char* scheme : {"https", "http"}) {
        const std::string prefix = std::string(scheme) + "://";
        if (setting.rfind(prefix, 0) == 0) {
            return {scheme, setting.substr(prefix.size())};
        }
    }
    return {"http", setting};
}

void use_weather_service(const std::string& host_setting, const std::string& ca_file,
                         const std::string& key) {
    const weather_address address = split_weather_address(host_setting);
    service_host = address.host;
    service_key = key;
    weather_service_endpoint().base_url = base_url(address);
    weather_service_endpoint().ca_file = ca_file;
}

const std::string& weather_host() {
    return service_host;
}

int weather_default_port() {
    return weather_service_endpoint().base_url.rfind("https://", 0) == 0 ? 443 : 80;
}

weather_endpoint& weather_service_endpoint() {
    static weather_endpoint endpoint{base_url(split_weather_address(NIMBROVATOR_WEATHER_HOST)),
                                     10000, 30000, NIMBROVATOR_WEATHER_CA_FILE};
    return endpoint;
}

std::string escape_town(const std::string& town) {
    // As curl_easy_escape does it, without loading libcurl (the path is the reply cache's key
    // too): the unreserved characters of RFC 3986 stay, every other byte becomes %XX.
    static const char hex[] = "0123456789ABCDEF";
    std::string result;
    for (const char c : town) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            result += c;
        } else {
            result += '%';
            result += hex[byte >> 4];
            result += hex[byte & 0x0F];
        }
    }
    return result;
}

std::string current_weather_path(const std::string& town) {
    return "/data/2.5/weather?q=" + escape_town(town) +
           "&units=metric&lang=pl&APPID=" + service_key;
}

std::string daily_forecast_path(const std::string& town, unsigned days) {
    return "/data/2.5/forecast/daily?q=" + escape_town(town) + "&cnt=" + std::to_string(days) +
           "&mode=json&units=metric&lang=pl&APPID=" + service_key;
}

namespace {

std::string point_query(const std::string& latitude, const std::string& longitude) {
    return "lat=" + escape_town(latitude) + "&lon=" + escape_town(longitude);
}

} // namespace

std::string current_weather_path_at(const std::string& latitude, const std::string& longitude) {
    return "/data/2.5/weather?" + point_query(latitude, longitude) +
           "&units=metric&lang=pl&APPID=" + service_key;
}

std::string daily_forecast_path_at(const std::string& latitude, const std::string& longitude,
                                   unsigned days) {
    return "/data/2.5/forecast/daily?" + point_query(latitude, longitude) +
           "&cnt=" + std::to_string(days) + "&mode=json&units=metric&lang=pl&APPID=" + service_key;
}

std::string fetch_current_weather(const std::string& town) {
    return fetch(current_weather_path(town));
}

std::string fetch_daily_forecast(const std::string& town, unsigned days) {
    return fetch(daily_forecast_path(town, days));
}

std::size_t append_to_response(char* chunk, std::size_t size, std::size_t count, void* response) {
    auto* text = static_cast<std::string*>(response);
    const std::size_t length = size * count;
    if (length > max_weather_reply_bytes - text->size()) {
        // Returning less than the chunk's length makes libcurl abort the transfer.
        std::string().swap(*text);
        return 0;
    }
    text->append(chunk, length);
    return length;
}

bool parse_weather_document(const std::string& text, Json::Value& document) {
    set_english_locale();
    if (!parse_json(text, document)) {
        document = Json::Value();
        return false;
    }
    return true;
}

Json::Value parse_weather_json(const std::string& text) {
    Json::Value document;
    if (!parse_weather_document(text, document)) {
        std::cout << "Odebrałem nieprawidłowe dane z serwera, spróbuj ponownie!\n" << std::flush;
        // Whatever the reader built before it failed (say, from a body cut short) is dropped:
        // the report runs on a null document.
        return Json::Value();
    }
    return document;
}

bool is_unknown_town_reply(const Json::Value& document) {
    if (!document.isObject()) {
        return false;
    }
    const Json::Value& message = document["message"];
    return message.isString() && message.asString() == "Error: Not found city";
}

void check_service_error(const Json::Value& document) {
    if (is_unknown_town_reply(document)) {
        std::cout << "\nNa serwerze " << weather_host() << " brak danych o tej miejscowości.\n"
                  << std::flush;
    }
}

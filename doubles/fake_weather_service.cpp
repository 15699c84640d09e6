#include "fake_weather_service.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

const char* const current_weather_endpoint = "/data/2.5/weather";
const char* const daily_forecast_endpoint = "/data/2.5/forecast/daily";

struct fake_weather_service {
    // httplib::SSLServer when the service speaks TLS.
    std::unique_ptr<httplib::Server> server_object;
    httplib::Server& server;
    std::thread listener;
    int port = 0;
    mutable std::mutex mutex;
    std::condition_variable stopping_changed;
    bool stopping = false;
    bool recording = true;
    std::map<std::string, fake_reply> replies;
    std::map<std::string, fake_handler> handlers;
    std::vector<std::string> requests;
    std::map<std::string, int> hits;

    explicit fake_weather_service(std::unique_ptr<httplib::Server> made)
        : server_object(std::move(made)), server(*server_object) {}
};

namespace {

constexpr auto longest_silence = std::chrono::seconds(10);

// Records the request and returns the reply configured for its path.
fake_reply take_request(fake_weather_service& service, const httplib::Request& request) {
    std::unique_lock<std::mutex> lock(service.mutex);
    if (service.recording) {
        service.requests.push_back(request.target);
        ++service.hits[request.path];
    }
    const auto handled = service.handlers.find(request.path);
    if (handled != service.handlers.end()) {
        const fake_handler handler = handled->second;
        lock.unlock();
        const std::size_t mark = request.target.find('?');
        return handler(request.path,
                       mark == std::string::npos ? "" : request.target.substr(mark + 1));
    }
    const auto found = service.replies.find(request.path);
    if (found == service.replies.end()) {
        fake_reply missing;
        missing.status = 404;
        return missing;
    }
    return found->second;
}

void wait_for_stop(fake_weather_service& service) {
    std::unique_lock<std::mutex> lock(service.mutex);
    service.stopping_changed.wait_for(lock, longest_silence, [&] { return service.stopping; });
}

// Waits up to `ms` milliseconds; false when the service began to stop meanwhile.
bool pause_unless_stopping(fake_weather_service& service, int ms) {
    std::unique_lock<std::mutex> lock(service.mutex);
    return !service.stopping_changed.wait_for(lock, std::chrono::milliseconds(ms),
                                              [&] { return service.stopping; });
}

// The body one byte per interval, or only its first cut_after_bytes bytes; either way under
// the full Content-Length.
void send_partly(fake_weather_service& service, const fake_reply& reply,
                 httplib::Response& response) {
    const std::string body = reply.body;
    const int interval = reply.trickle_interval_ms;
    const std::size_t cut =
        reply.cut_after_bytes < 0
            ? body.size()
            : std::min(body.size(), static_cast<std::size_t>(reply.cut_after_bytes));
    fake_weather_service* owner = &service;
    response.set_content_provider(
        body.size(), "application/json; charset=utf-8",
        [body, interval, cut, owner](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (offset >= cut) {
                return false;
            }
            if (interval <= 0) {
                sink.write(body.data() + offset, cut - offset);
                return cut == body.size();
            }
            return pause_unless_stopping(*owner, interval) && sink.write(body.data() + offset, 1);
        });
}

void answer(fake_weather_service& service, const httplib::Request& request,
            httplib::Response& response) {
    const fake_reply reply = take_request(service, request);
    if (reply.silent) {
        wait_for_stop(service);
        return;
    }
    if (reply.delay_ms > 0) {
        pause_unless_stopping(service, reply.delay_ms);
    }
    response.status = reply.status;
    if ((reply.trickle_interval_ms > 0 || reply.cut_after_bytes >= 0) && !reply.body.empty()) {
        send_partly(service, reply, response);
        return;
    }
    if (reply.chunks.empty()) {
        response.set_content(reply.body, "application/json; charset=utf-8");
        return;
    }
    response.set_chunked_content_provider(
        "application/json; charset=utf-8",
        [chunks = reply.chunks](std::size_t, httplib::DataSink& sink) {
            for (const std::string& chunk : chunks) {
                if (!sink.write(chunk.data(), chunk.size())) {
                    return false;
                }
                // A pause so that the pieces reach the client as separate reads.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            sink.done();
            return true;
        });
}

} // namespace

void fake_weather_service_stopper::operator()(fake_weather_service* service) const {
    {
        std::lock_guard<std::mutex> lock(service->mutex);
        service->stopping = true;
    }
    service->stopping_changed.notify_all();
    service->server.stop();
    if (service->listener.joinable()) {
        service->listener.join();
    }
    delete service;
}

namespace {

fake_weather_service_handle start_service(std::unique_ptr<httplib::Server> server, int port) {
    if (!server->is_valid()) {
        return nullptr;
    }
    fake_weather_service_handle service(new fake_weather_service(std::move(server)));
    fake_weather_service* raw = service.get();
    const auto handler = [raw](const httplib::Request& request, httplib::Response& response) {
        answer(*raw, request, response);
    };
    service->server.Get(".*", handler);
    // Answers on a kept-alive connection go out at once, not after the client's delayed ACK;
    // without SO_REUSEPORT a second server on a busy port fails to bind.
    service->server.set_tcp_nodelay(true);
    service->server.set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (port == 0) {
        service->port = service->server.bind_to_any_port("127.0.0.1");
    } else if (service->server.bind_to_port("127.0.0.1", port)) {
        service->port = port;
    }
    if (service->port <= 0) {
        return nullptr;
    }
    service->listener = std::thread([raw] { raw->server.listen_after_bind(); });
    // stop() only takes effect once the accept loop runs, so wait for it (bounded).
    for (int i = 0; i < 5000 && !service->server.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return service;
}

} // namespace

fake_weather_service_handle start_fake_weather_service(int port) {
    return start_service(std::make_unique<httplib::Server>(), port);
}

fake_weather_service_handle start_fake_weather_service_tls(const std::string& cert_file,
                                                           const std::string& key_file, int port) {
    return start_service(std::make_unique<httplib::SSLServer>(cert_file.c_str(), key_file.c_str()),
                         port);
}

int fake_service_port(const fake_weather_service& service) {
    return service.port;
}

std::string fake_service_base_url(const fake_weather_service& service) {
    const bool tls = dynamic_cast<const httplib::SSLServer*>(&service.server) != nullptr;
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(service.port);
}

void set_fake_reply(fake_weather_service& service, const std::string& path, fake_reply reply) {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.replies[path] = std::move(reply);
}

void set_fake_handler(fake_weather_service& service, const std::string& path,
                      fake_handler handler) {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.handlers[path] = std::move(handler);
}

void set_fake_recording(fake_weather_service& service, bool record) {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.recording = record;
}

std::vector<std::string> recorded_requests(const fake_weather_service& service) {
    std::lock_guard<std::mutex> lock(service.mutex);
    return service.requests;
}

int endpoint_hits(const fake_weather_service& service, const std::string& path) {
    std::lock_guard<std::mutex> lock(service.mutex);
    const auto found = service.hits.find(path);
    return found == service.hits.end() ? 0 : found->second;
}

Json::Value full_current_weather() {
    Json::Value reply;
    reply["coord"]["lon"] = 19.94;
    reply["coord"]["lat"] = 50.06;
    Json::Value condition;
    condition["id"] = 800;
    condition["main"] = "Clear";
    condition["description"] = "bezchmurnie";
    condition["icon"] = "01d";
    reply["weather"].append(condition);
    reply["base"] = "stations";
    reply["main"]["temp"] = 18.3;
    reply["main"]["feels_like"] = 17.6;
    reply["main"]["temp_min"] = 16.1;
    reply["main"]["temp_max"] = 19.8;
    reply["main"]["pressure"] = 1012;
    reply["main"]["humidity"] = 55;
    reply["visibility"] = 10000;
    reply["wind"]["speed"] = 3.6;
    reply["wind"]["deg"] = 270;
    reply["wind"]["gust"] = 7.2;
    reply["clouds"]["all"] = 40;
    reply["dt"] = 1494081000;
    reply["sys"]["country"] = "PL";
    reply["sys"]["sunrise"] = 1494039600;
    reply["sys"]["sunset"] = 1494094200;
    reply["timezone"] = 7200;
    reply["id"] = 3094802;
    reply["name"] = "Kraków";
    reply["cod"] = 200;
    return reply;
}

Json::Value forecast_day(std::time_t time, double min, double max, int humidity, int pressure,
                         double speed, const std::string& description) {
    Json::Value day;
    day["dt"] = static_cast<Json::Int64>(time);
    day["sunrise"] = static_cast<Json::Int64>(time) - 21600;
    day["sunset"] = static_cast<Json::Int64>(time) + 28800;
    day["temp"]["day"] = (min + max) / 2;
    day["temp"]["min"] = min;
    day["temp"]["max"] = max;
    day["temp"]["night"] = min;
    day["temp"]["eve"] = max;
    day["temp"]["morn"] = min;
    day["pressure"] = pressure;
    day["humidity"] = humidity;
    Json::Value condition;
    condition["id"] = 800;
    condition["main"] = "Clear";
    condition["description"] = description;
    condition["icon"] = "01d";
    day["weather"].append(condition);
    day["speed"] = speed;
    day["deg"] = 250;
    day["gust"] = speed * 2;
    day["clouds"] = 20;
    day["pop"] = 0.1;
    return day;
}

Json::Value daily_forecast(const std::vector<Json::Value>& days) {
    Json::Value reply;
    reply["city"]["id"] = 3094802;
    reply["city"]["name"] = "Kraków";
    reply["city"]["country"] = "PL";
    reply["cod"] = "200";
    reply["message"] = 0.0582563;
    reply["cnt"] = static_cast<Json::UInt>(days.size());
    reply["list"] = Json::Value(Json::arrayValue);
    for (const Json::Value& day : days) {
        reply["list"].append(day);
    }
    return reply;
}

std::string not_found_reply() {
    return R"({"message":"Error: Not found city","cod":"404"})";
}

std::string padded_not_found_reply(std::size_t bytes) {
    const std::string head = R"({"message":"Error: Not found city","cod":"404","pad":")";
    const std::string tail = "\"}";
    return head + std::string(bytes - head.size() - tail.size(), 'x') + tail;
}

std::string json_text(const Json::Value& document) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, document);
}

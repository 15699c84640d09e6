#include "fake_storm_service.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

struct fake_storm_service {
    fake_storm_service(const std::string& cert_file, const std::string& key_file)
        : server(cert_file.c_str(), key_file.c_str()) {}

    httplib::SSLServer server;
    std::thread listener;
    int port = 0;

    mutable std::mutex mutex;
    std::condition_variable stopping_changed;
    bool stopping = false;
    bool recording = true;
    fake_storm_handler handler;
    std::vector<fake_storm_request> requests;
};

namespace {

constexpr auto start_limit = std::chrono::seconds(5);

// Waits up to `ms` milliseconds; false when the service began to stop meanwhile.
bool pause_unless_stopping(fake_storm_service& service, int ms) {
    std::unique_lock<std::mutex> lock(service.mutex);
    return !service.stopping_changed.wait_for(lock, std::chrono::milliseconds(ms),
                                              [&] { return service.stopping; });
}

fake_storm_request record(fake_storm_service& service, const httplib::Request& in) {
    fake_storm_request request{in.method, in.path, {}, in.body};
    for (const auto& header : in.headers) {
        request.headers.emplace_back(header.first, header.second);
    }
    std::lock_guard<std::mutex> lock(service.mutex);
    if (service.recording) {
        service.requests.push_back(request);
    }
    return request;
}

void send_trickle(fake_storm_service& service, const fake_storm_reply& reply,
                  httplib::Response& out) {
    out.status = reply.status;
    const std::string body = reply.body;
    const int interval = reply.trickle_interval_ms;
    fake_storm_service* owner = &service;
    out.set_content_provider(
        body.size(), reply.content_type,
        [body, interval, owner](size_t offset, size_t, httplib::DataSink& sink) {
            if (!pause_unless_stopping(*owner, interval)) {
                return false;
            }
            return sink.write(body.data() + offset, 1);
        });
}

// Announces the whole body but sends only its first `cut` bytes, then drops the connection.
void send_cut(const fake_storm_reply& reply, httplib::Response& out) {
    out.status = reply.status;
    const std::string body = reply.body;
    const std::size_t cut = std::min(body.size(), static_cast<std::size_t>(reply.cut_after_bytes));
    out.set_content_provider(body.size(), reply.content_type,
                             [body, cut](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset < cut) {
                                     sink.write(body.data() + offset, cut - offset);
                                 }
                                 return false;
                             });
}

void answer(fake_storm_service& service, const httplib::Request& in, httplib::Response& out) {
    const fake_storm_request request = record(service, in);
    fake_storm_handler handler;
    {
        std::lock_guard<std::mutex> lock(service.mutex);
        handler = service.handler;
    }
    const fake_storm_reply reply = handler(request);
    if (reply.delay_ms > 0) {
        pause_unless_stopping(service, reply.delay_ms);
    }
    if (reply.trickle_interval_ms > 0 && !reply.body.empty()) {
        send_trickle(service, reply, out);
        return;
    }
    if (reply.cut_after_bytes >= 0 && !reply.body.empty()) {
        send_cut(reply, out);
        return;
    }
    out.status = reply.status;
    out.set_content(reply.body, reply.content_type.c_str());
}

std::string escape_text(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

const char* const xml_declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

} // namespace

void fake_storm_service_stopper::operator()(fake_storm_service* service) const {
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

fake_storm_service_handle start_fake_storm_service(const std::string& cert_file,
                                                   const std::string& key_file, int port) {
    // Clients that give up mid-reply must not end the test process.
    std::signal(SIGPIPE, SIG_IGN);
    fake_storm_service_handle service(new fake_storm_service(cert_file, key_file));
    if (!service->server.is_valid()) {
        return nullptr;
    }
    service->handler = [](const fake_storm_request&) {
        return soap_fault_reply("SOAP-ENV:Server", "no reply configured");
    };
    fake_storm_service* raw = service.get();
    auto handle = [raw](const httplib::Request& in, httplib::Response& out) {
        answer(*raw, in, out);
    };
    service->server.Post(".*", handle);
    service->server.Get(".*", handle);
    // Answers on a kept-alive connection go out at once, not after the client's delayed ACK;
    // without SO_REUSEPORT a second server on a busy port fails to bind.
    service->server.set_tcp_nodelay(true);
    // An idle kept-alive connection is closed after a second (stopping the service waits for it).
    service->server.set_keep_alive_timeout(1);
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
    // stop() only takes effect once the server runs, so wait for that (bounded).
    const auto deadline = std::chrono::steady_clock::now() + start_limit;
    while (!service->server.is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!service->server.is_running()) {
        return nullptr;
    }
    return service;
}

int fake_storm_port(const fake_storm_service& service) {
    return service.port;
}

std::string fake_storm_endpoint(const fake_storm_service& service) {
    return "https://localhost:" + std::to_string(service.port) + "/soap.php";
}

void set_fake_storm_handler(fake_storm_service& service, fake_storm_handler handler) {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.handler = std::move(handler);
}

void set_fake_storm_reply(fake_storm_service& service, fake_storm_reply reply) {
    set_fake_storm_handler(service, [reply](const fake_storm_request&) { return reply; });
}

void set_fake_storm_recording(fake_storm_service& service, bool record) {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.recording = record;
}

std::vector<fake_storm_request> fake_storm_requests(const fake_storm_service& service) {
    std::lock_guard<std::mutex> lock(service.mutex);
    return service.requests;
}

std::string request_header(const fake_storm_request& request, const std::string& name) {
    auto same = [&](const std::string& other) {
        return other.size() == name.size() &&
               std::equal(other.begin(), other.end(), name.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) ==
                          std::tolower(static_cast<unsigned char>(b));
               });
    };
    for (const auto& header : request.headers) {
        if (same(header.first)) {
            return header.second;
        }
    }
    return "";
}

std::string soap_operation(const fake_storm_request& request) {
    std::string action = request_header(request, "SOAPAction");
    action.erase(std::remove(action.begin(), action.end(), '"'), action.end());
    const std::size_t hash = action.rfind('#');
    return hash == std::string::npos ? "" : action.substr(hash + 1);
}

std::string soap_reply(const std::string& operation, const std::string& inner_markup) {
    return std::string(xml_declaration) +
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:ns1=\"urn:burze\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:ns2=\"urn:burze-typy\" "
           "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
           "<SOAP-ENV:Body><ns1:" +
           operation + "Response>" + inner_markup + "</ns1:" + operation +
           "Response></SOAP-ENV:Body></SOAP-ENV:Envelope>\n";
}

std::string soap_return(const std::string& xsi_type, const std::string& content) {
    return "<return xsi:type=\"" + xsi_type + "\">" + content + "</return>";
}

std::string burza_return(int liczba, const std::string& odleglosc, const std::string& kierunek,
                         int okres) {
    return soap_return("ns2:MyComplexTypeBurza",
                       "<liczba xsi:type=\"xsd:int\">" + std::to_string(liczba) +
                           "</liczba><odleglosc xsi:type=\"xsd:float\">" + odleglosc +
                           "</odleglosc><kierunek xsi:type=\"xsd:string\">" + kierunek +
                           "</kierunek><okres xsi:type=\"xsd:int\">" + std::to_string(okres) +
                           "</okres>");
}

std::string soap_fault(const std::string& code, const std::string& text) {
    return std::string(xml_declaration) +
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
           "<SOAP-ENV:Body><SOAP-ENV:Fault><faultcode>" +
           code + "</faultcode><faultstring>" + escape_text(text) +
           "</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>\n";
}

fake_storm_reply soap_fault_reply(const std::string& code, const std::string& text) {
    fake_storm_reply reply;
    reply.status = 500;
    reply.body = soap_fault(code, text);
    return reply;
}

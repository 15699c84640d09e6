#include "support/broker.h"

#include "support/spawn.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;

bool port_listens(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool listens = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return listens;
}

const char* broker_program() {
    for (const char* path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"}) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "mosquitto";
}

} // namespace

int free_loopback_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool TestBroker::start(const std::string& listener_lines) {
    if (port == 0) {
        port = free_loopback_port();
        listener_lines_ = listener_lines;
    }
    const passwd* user = getpwuid(getuid());
    // As root the broker would change to the user "mosquitto", who cannot read the test's files.
    const std::string config =
        "listener " + std::to_string(port) + " 127.0.0.1\n" +
        (listener_lines_.find("password_file") == std::string::npos ? "allow_anonymous true\n"
                                                                    : "allow_anonymous false\n") +
        listener_lines_ + "persistence false\n" + "user " +
        (user != nullptr ? user->pw_name : "root") + "\n";
    write_file(dir.path + "/mosquitto.conf", config);
    ChildLaunch launch;
    launch.path = broker_program();
    launch.argv = {"mosquitto", "-c", dir.path + "/mosquitto.conf"};
    launch.out = open_for_child("/dev/null");
    launch.err = open_for_child(dir.path + "/log", true);
    pid = spawn_program(launch);
    for (const int fd : {launch.out, launch.err}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (pid < 0) {
        return false;
    }
    const auto deadline = steady::now() + std::chrono::seconds(5);
    while (steady::now() < deadline) {
        if (port_listens(port)) {
            return true;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void TestBroker::stop() {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    const auto deadline = steady::now() + std::chrono::seconds(5);
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (steady::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
}

std::string TestBroker::log() const {
    return read_file(dir.path + "/log");
}

TestBroker::~TestBroker() {
    stop();
}

bool Subscriber::connect(int port, const std::string& ca_file, const std::string& user,
                         const std::string& password) {
    mosquitto_lib_init();
    handle_ = mosquitto_new(nullptr, true, this);
    if (handle_ == nullptr) {
        return false;
    }
    mosquitto_message_callback_set(handle_, on_message);
    mosquitto_subscribe_callback_set(handle_, on_subscribe);
    mosquitto_connect_callback_set(handle_, [](mosquitto* m, void*, int code) {
        if (code == 0) {
            mosquitto_subscribe(m, nullptr, "#", 1);
        }
    });
    if (!user.empty()) {
        mosquitto_username_pw_set(handle_, user.c_str(), password.c_str());
    }
    if (!ca_file.empty()) {
        mosquitto_tls_set(handle_, ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (mosquitto_connect(handle_, "localhost", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(handle_) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    const auto deadline = steady::now() + std::chrono::seconds(5);
    while (steady::now() < deadline) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (subscribed_) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

Subscriber::~Subscriber() {
    if (handle_ != nullptr) {
        mosquitto_disconnect(handle_);
        mosquitto_loop_stop(handle_, true);
        mosquitto_destroy(handle_);
    }
}

void Subscriber::on_message(mosquitto*, void* self, const mosquitto_message* message) {
    auto* subscriber = static_cast<Subscriber*>(self);
    const std::lock_guard<std::mutex> lock(subscriber->mutex_);
    subscriber->messages_.push_back({message->topic,
                                     std::string(static_cast<const char*>(message->payload),
                                                 static_cast<std::size_t>(message->payloadlen)),
                                     message->retain});
}

void Subscriber::on_subscribe(mosquitto*, void* self, int, int, const int*) {
    auto* subscriber = static_cast<Subscriber*>(self);
    const std::lock_guard<std::mutex> lock(subscriber->mutex_);
    subscriber->subscribed_ = true;
}

std::vector<ReceivedMessage> Subscriber::messages() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<ReceivedMessage> Subscriber::on(const std::string& topic) {
    std::vector<ReceivedMessage> found;
    for (const ReceivedMessage& message : messages()) {
        if (message.topic == topic) {
            found.push_back(message);
        }
    }
    return found;
}

bool Subscriber::wait_for(const std::function<bool(const std::vector<ReceivedMessage>&)>& done,
                          int seconds) {
    const auto deadline = steady::now() + std::chrono::seconds(seconds);
    while (!done(messages())) {
        if (steady::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void Subscriber::publish(const std::string& topic, const std::string& payload, bool retain) {
    mosquitto_publish(handle_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, retain);
}

namespace {

int loopback_socket(int port, bool listening) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* where = reinterpret_cast<sockaddr*>(&address);
    const bool ready = listening ? bind(fd, where, sizeof address) == 0 && listen(fd, 4) == 0
                                 : connect(fd, where, sizeof address) == 0;
    if (!ready && fd >= 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The protocol level of a CONNECT packet read so far; -1 while it has not come.
int protocol_level(const std::string& packet) {
    std::size_t at = 1;
    while (at < packet.size() && at < 5 && (static_cast<unsigned char>(packet[at]) & 0x80) != 0) {
        ++at;
    }
    const std::size_t name = at + 1; // the protocol name's length, then the name
    if (packet.size() < name + 2) {
        return -1;
    }
    const std::size_t level = name + 2 +
                              (static_cast<unsigned char>(packet[name]) << 8 |
                               static_cast<unsigned char>(packet[name + 1]));
    return level < packet.size() ? static_cast<unsigned char>(packet[level]) : -1;
}

} // namespace

bool Mqtt311Front::start(int upstream_port) {
    upstream_port_ = upstream_port;
    port = free_loopback_port();
    listener_ = loopback_socket(port, true);
    if (listener_ < 0 || pipe2(stop_, O_CLOEXEC) != 0) {
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

Mqtt311Front::~Mqtt311Front() {
    if (thread_.joinable()) {
        const char byte = 0;
        if (write(stop_[1], &byte, 1) == 1) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }
    for (const int fd : {listener_, stop_[0], stop_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void Mqtt311Front::run() {
    for (;;) {
        pollfd fds[] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
            return;
        }
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            serve(client);
            close(client);
        }
    }
}

void Mqtt311Front::serve(int client) {
    std::string connect_packet;
    int level = -1;
    char buffer[4096];
    while (level < 0 && connect_packet.size() < 64) {
        pollfd fds[] = {{client, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 2, 5000) <= 0 || fds[1].revents != 0) {
            return;
        }
        const ssize_t got = read(client, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        connect_packet.append(buffer, static_cast<std::size_t>(got));
        level = protocol_level(connect_packet);
    }
    if (level == 5) {
        const unsigned char refusal[] = {0x20, 0x02, 0x00, 0x01};
        ++refused_;
        [[maybe_unused]] const ssize_t sent = send(client, refusal, sizeof refusal, MSG_NOSIGNAL);
        return;
    }
    const int upstream = loopback_socket(upstream_port_, false);
    if (upstream < 0 ||
        send(upstream, connect_packet.data(), connect_packet.size(), MSG_NOSIGNAL) < 0) {
        if (upstream >= 0) {
            close(upstream);
        }
        return;
    }
    for (;;) {
        pollfd fds[] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 || fds[2].revents != 0) {
            break;
        }
        const int from = fds[0].revents != 0 ? client : upstream;
        const ssize_t got = read(from, buffer, sizeof buffer);
        if (got <= 0 || send(from == client ? upstream : client, buffer,
                             static_cast<std::size_t>(got), MSG_NOSIGNAL) != got) {
            break;
        }
    }
    close(upstream);
}

#include "support/broker.h"

#include "support/spawn.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
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

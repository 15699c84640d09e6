// A mosquitto broker of a test's own: a configuration file in a temporary directory, a free
// loopback port, started and stopped by the test; and a subscriber that records what it hears.
#pragma once

#include "support/temp_dir.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;

struct TestBroker {
    TempDir dir;
    int port = 0;
    pid_t pid = -1;

    // Starts the broker with the listener's further lines (TLS, passwords); on the port it had
    // before when restarted, else on a free one. False when it does not listen within 5 s.
    bool start(const std::string& listener_lines = "");
    // Stops it (SIGTERM, then SIGKILL after 5 s) and collects it.
    void stop();
    // What the broker wrote, for failure messages.
    std::string log() const;
    ~TestBroker();

  private:
    std::string listener_lines_;
};

struct ReceivedMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

// Subscribed to "#" from its connection on; the messages in the order heard.
class Subscriber {
  public:
    // Connects and subscribes, at most 5 s; `ca_file` set: TLS against it.
    bool connect(int port, const std::string& ca_file = "", const std::string& user = "",
                 const std::string& password = "");
    ~Subscriber();

    std::vector<ReceivedMessage> messages();
    // The messages on `topic`.
    std::vector<ReceivedMessage> on(const std::string& topic);
    // Waits (at most `seconds`) until `done` holds of the messages heard.
    bool wait_for(const std::function<bool(const std::vector<ReceivedMessage>&)>& done,
                  int seconds = 20);
    void publish(const std::string& topic, const std::string& payload, bool retain);

  private:
    static void on_message(mosquitto*, void* self, const struct mosquitto_message* message);
    static void on_subscribe(mosquitto*, void* self, int, int, const int*);
    std::mutex mutex_;
    std::vector<ReceivedMessage> messages_;
    bool subscribed_ = false;
    mosquitto* handle_ = nullptr;
};

// In front of a broker on `upstream_port`, a broker of MQTT 3.1.1 only: a connection that asks
// for MQTT 5 is answered "unacceptable protocol version" and closed, as such a broker does; any
// other passes through. One connection at a time, on a thread of its own.
class Mqtt311Front {
  public:
    bool start(int upstream_port);
    ~Mqtt311Front();
    int port = 0;
    // The connections refused for asking for MQTT 5.
    int refused() const { return refused_; }

  private:
    void run();
    void serve(int client);
    int upstream_port_ = 0;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<int> refused_{0};
    std::thread thread_;
};

// A free TCP port on 127.0.0.1, from the kernel.
int free_loopback_port();

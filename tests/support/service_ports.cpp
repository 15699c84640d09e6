#include "support/service_ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

constexpr int first_port = 20000;
constexpr int pairs = 6000; // up to 31999, below 32768

bool bindable(int family, int port) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return family == AF_INET6; // a machine without IPv6 has no ::1 to collide on
    }
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    bool bound = false;
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    } else {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
                errno == EADDRNOTAVAIL;
    }
    close(fd);
    return bound;
}

// The storm port (localhost: both loopbacks) and the weather port just above it. A process
// starts at a pair of its own (its pid), so that processes started together seldom try the
// same pair; a pair taken is passed over.
int chosen_pair() {
    static const int port = [] {
        const int start = static_cast<int>(getpid()) % pairs;
        for (int i = 0; i < pairs; ++i) {
            const int storm = first_port + 2 * ((start + i) % pairs);
            if (bindable(AF_INET, storm) && bindable(AF_INET6, storm) &&
                bindable(AF_INET, storm + 1)) {
                return storm;
            }
        }
        return 0;
    }();
    return port;
}

} // namespace

int test_storm_port() {
    return chosen_pair();
}

int test_weather_port() {
    return chosen_pair() + 1;
}

std::string test_storm_host() {
    return "localhost:" + std::to_string(test_storm_port());
}

std::string test_weather_host() {
    return "127.0.0.1:" + std::to_string(test_weather_port());
}

std::vector<std::string> test_service_environment() {
    return {"NIMBROVATOR_STORM_HOST=" + test_storm_host(),
            "NIMBROVATOR_WEATHER_HOST=" + test_weather_host()};
}

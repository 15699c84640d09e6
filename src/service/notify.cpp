#include "service/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct descriptor {
    int fd;
    ~descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// The socket's address from $NOTIFY_SOCKET: a path, or "@name" in the abstract namespace.
// False when it is unset, empty, relative or too long for the address.
bool notify_address(sockaddr_un& address, socklen_t& length) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) {
        return false;
    }
    const std::size_t size = std::strlen(name);
    if (size < 2 || size >= sizeof address.sun_path) {
        return false;
    }
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name, size);
    if (name[0] == '@') {
        address.sun_path[0] = '\0'; // the abstract name has no ending zero byte
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
    } else {
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size + 1);
    }
    return true;
}

} // namespace

bool notify_service(const std::string& message) {
    sockaddr_un address;
    socklen_t length = 0;
    if (message.empty() || !notify_address(address, length)) {
        return false;
    }
    const descriptor socket_fd{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (socket_fd.fd < 0) {
        return false;
    }
    // Never waits: while nobody reads the socket and its queue is full, the message is dropped
    // (a watch stuck here would stop checking and ignore the signals that end it).
    ssize_t sent = -1;
    do {
        sent = sendto(socket_fd.fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                      reinterpret_cast<const sockaddr*>(&address), length);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(message.size());
}

std::optional<std::chrono::microseconds> watchdog_period() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec == nullptr || *usec == '\0') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(usec, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || usec[0] == '-') {
        return std::nullopt;
    }
    if (pid != nullptr && *pid != '\0') {
        errno = 0;
        const long long owner = std::strtoll(pid, &end, 10);
        if (errno != 0 || *end != '\0' || owner != static_cast<long long>(getpid())) {
            return std::nullopt;
        }
    }
    // At most a thousand pings a second, whatever the variable says.
    return std::chrono::microseconds(std::max(static_cast<long long>(value / 2), 1000LL));
}

watchdog_pinger::watchdog_pinger()
    : period_(watchdog_period()), due_(std::chrono::steady_clock::now()) {}

void watchdog_pinger::keep() {
    if (!period_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < due_) {
        return;
    }
    notify_service("WATCHDOG=1");
    due_ = now + *period_;
}

// See test_sockets.h.
#include "test_sockets.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace kelvotest {
namespace {

bool FillUnixAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A blocking stream socket connected to `address`; -1 when it cannot be made.
int ConnectTo(int family, const sockaddr* address, socklen_t length) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, address, length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int ListenUnix(const std::string& path) {
    sockaddr_un address;
    if (!FillUnixAddress(path, address))
        throw std::runtime_error("socket path too long: " + path);
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("cannot listen on " + path + ": " + reason);
    }
    return fd;
}

int ListenTcpLoopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("cannot listen on loopback TCP: " + reason);
    }
    port = ntohs(address.sin_port);
    return fd;
}

int ConnectUnix(const std::string& path) {
    sockaddr_un address;
    if (!FillUnixAddress(path, address))
        return -1;
    return ConnectTo(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int ConnectTcp(const char* host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1)
        return -1;
    return ConnectTo(AF_INET, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

bool WaitReadable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc == 1;
}

bool WaitUntilDrained(int fd, int timeout_ms) {
    // On a Unix stream socket the bytes stay charged to the sender until the
    // reader has taken them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) != 0)
            return false;
        if (queued == 0)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace kelvotest

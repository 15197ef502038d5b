#include "support/local_connection.h"

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

template <typename Address>
int ConnectOrClose(int family, const Address& address) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool FillUnixAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Binds fd to address and listens; throws with `what` and the reason.
template <typename Address>
int BindAndListen(int fd, Address& address, const std::string& what) {
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot listen on " + what + ": " + reason);
    }
    return fd;
}

}  // namespace

int ConnectToAddress(const std::string& address, unsigned short port) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1)
        return ConnectOrClose(AF_INET6, v6);
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1)
        return ConnectOrClose(AF_INET, v4);
    return -1;
}

int ConnectToSocketFile(const std::string& path) {
    sockaddr_un address;
    return FillUnixAddress(path, address) ? ConnectOrClose(AF_UNIX, address) : -1;
}

int ListenUnix(const std::string& path) {
    sockaddr_un address;
    if (!FillUnixAddress(path, address))
        throw std::runtime_error("socket path too long: " + path);
    ::unlink(path.c_str());
    return BindAndListen(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), address, path);
}

int ListenTcpLoopback(int& port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = BindAndListen(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), address, "loopback TCP");
    port = ntohs(address.sin_port);
    return fd;
}

bool WaitReadable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc == 1;
}

bool WaitUntilDrained(int fd, int timeout_ms) {
    // On a Unix stream socket the bytes stay charged to the sender until the reader has taken them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, SIOCOUTQ, &queued) != 0)
            return false;
        if (queued == 0)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace kelvotest

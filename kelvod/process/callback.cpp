// Calling the library back.
#include "kelvod/process/callback.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvod {

Callback::Callback(const Endpoint& to, const std::string& descriptor) {
    if (descriptor.size() > 255)
        throw CallbackError("The endpoint descriptor is longer than 255 bytes: " + descriptor);
    if (to.kind == Endpoint::Kind::Pipe)
        throw CallbackError("Named pipes are not served on this platform.");
    if (to.kind == Endpoint::Kind::Domain) {
        std::string path = to.directory + "/" + to.name;
        sockaddr_un addr{};
        if (path.size() >= sizeof addr.sun_path)
            throw CallbackError("The callback socket path is too long: " + path);
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw CallbackError("connect " + path + ": " + std::strerror(errno));
    } else {
        addrinfo hints{}, *res = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        std::string host = to.host.empty() ? "localhost" : to.host;
        if (::getaddrinfo(host.c_str(), std::to_string(to.port).c_str(), &hints, &res) != 0)
            throw CallbackError("Cannot resolve the callback host \"" + host + "\".");
        for (addrinfo* a = res; a && m_fd < 0; a = a->ai_next) {
            int fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
                m_fd = fd;
            } else if (fd >= 0) {
                ::close(fd);
            }
        }
        ::freeaddrinfo(res);
        if (m_fd < 0)
            throw CallbackError("connect " + to.ToString() + ": " + std::strerror(errno));
    }
    std::string message(1, static_cast<char>(descriptor.size()));
    message += descriptor;
    size_t sent = 0;
    while (sent < message.size()) {
        ssize_t n = ::send(m_fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw CallbackError(std::string("send on the callback connection: ") + std::strerror(errno));
        sent += static_cast<size_t>(n);
    }
}

Callback::~Callback() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void Callback::Interrupt() {
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RD);
}

void Callback::WaitForClose() {
    char buf[256];
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        int r = ::poll(&p, 1, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return;
        ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // end of file or reset: the library wants the server to stop
        // Nothing is expected on this connection; whatever arrives is ignored.
    }
}

}  // namespace kelvod

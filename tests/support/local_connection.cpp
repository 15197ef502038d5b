#include "support/local_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

namespace kelvotest {

namespace {

int ConnectOrClose(int fd, const sockaddr* address, socklen_t length) {
    if (fd < 0)
        return -1;
    if (::connect(fd, address, length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int ConnectToAddress(const std::string& address, unsigned short port) {
    if (address.find(':') != std::string::npos) {
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        if (::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) != 1)
            return -1;
        return ConnectOrClose(::socket(AF_INET6, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&v6), sizeof v6);
    }
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) != 1)
        return -1;
    return ConnectOrClose(::socket(AF_INET, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&v4), sizeof v4);
}

int ConnectToSocketFile(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    return ConnectOrClose(::socket(AF_UNIX, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&address), sizeof address);
}

}  // namespace kelvotest

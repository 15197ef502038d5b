#include "support/local_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace kelvotest {

namespace {

template <typename Address>
int ConnectOrClose(int family, const Address& address) {
    const int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return ConnectOrClose(AF_UNIX, address);
}

}  // namespace kelvotest

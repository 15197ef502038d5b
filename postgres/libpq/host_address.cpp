// Resolving a host-list entry into addresses and preparing a socket for one;
// see host_address.h.
#include "postgres/libpq/host_address.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "error/tagged_text.h"
#include "postgres/port/portability.h"

namespace {

constexpr int kDefaultPort = 5432;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// One addrinfo and its sockaddr_un in a single allocation.
addrinfo* MakeUnixAddress(const std::string& path) {
    const size_t size = sizeof(addrinfo) + sizeof(sockaddr_un);
    auto* block = static_cast<char*>(calloc(1, size));
    if (block == nullptr)
        return nullptr;
    auto* info = reinterpret_cast<addrinfo*>(block);
    auto* address = reinterpret_cast<sockaddr_un*>(block + sizeof(addrinfo));
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    info->ai_family = AF_UNIX;
    info->ai_socktype = SOCK_STREAM;
    info->ai_addrlen = sizeof(sockaddr_un);
    info->ai_addr = reinterpret_cast<sockaddr*>(address);
    return info;
}

// A port text must be a whole number from 1 to 65535; none means 5432.
bool ParsePort(const char* text, int& port) {
    if (text == nullptr || text[0] == '\0') {
        port = kDefaultPort;
        return true;
    }
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + (*p - '0');
        if (value > 65535)
            return false;
    }
    if (value < 1)
        return false;
    port = static_cast<int>(value);
    return true;
}

const char* SystemError(int error, char* buf, size_t size) { return strerror_r(error, buf, size); }

// Reads the keepalives switch: -1 when it is not entirely a decimal integer.
int ParseKeepaliveSwitch(const char* text) {
    if (text == nullptr)
        return 1;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0)
        return -1;
    return value != 0 ? 1 : 0;
}

}  // namespace

// The Unix-domain address of a socket entry is made here, not by
// getaddrinfo, so the list of such an entry is freed with free().
void pqReleaseAddrList(PGconn* conn) {
    if (conn->addrlist != nullptr) {
        if (conn->addrlist_family == AF_UNIX) {
            free(conn->addrlist);
        } else {
            freeaddrinfo(conn->addrlist);
        }
    }
    conn->addrlist = nullptr;
    conn->addr_cur = nullptr;
    conn->addrlist_family = AF_UNSPEC;
}

const char* pqEntryPortText(const pg_conn_host& entry) {
    return entry.port != nullptr && entry.port[0] != '\0' ? entry.port : "5432";
}

// The name of the server as the start-up texts show it.
const char* pqEntryDisplayedHost(const pg_conn_host& entry) {
    return entry.type == CHT_HOST_ADDRESS ? entry.hostaddr : entry.host;
}

void pqAppendConnectFailure(PGconn* conn, int error) {
    char errbuf[256];
    const char* detail = strerror_r(error, errbuf, sizeof errbuf);
    if (conn->raddr.addr.ss_family == AF_UNIX) {
        const auto* address = reinterpret_cast<const sockaddr_un*>(&conn->raddr.addr);
        appendPQExpBufferStr(&conn->errorMessage,
                             kelvoapi::TaggedText()
                                 .Sqlstate("08001")
                                 .Primary("Could not connect to the Kelvo server.")
                                 .Detail("%s", detail)
                                 .Hint("Is the server running locally and accepting connections on Unix domain "
                                       "socket \"%s\"?",
                                       address->sun_path)
                                 .c_str());
        return;
    }
    char numeric[1025];
    const char* host_addr = nullptr;
    if (conn->raddr.addr.ss_family == AF_INET) {
        host_addr = inet_net_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&conn->raddr.addr)->sin_addr, 32,
                                  numeric, sizeof numeric);
    } else if (conn->raddr.addr.ss_family == AF_INET6) {
        host_addr = inet_net_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&conn->raddr.addr)->sin6_addr, 128,
                                  numeric, sizeof numeric);
    }
    if (host_addr == nullptr)
        host_addr = "???";
    const pg_conn_host& entry = conn->connhost[conn->whichhost];
    const char* displayed = pqEntryDisplayedHost(entry);
    kelvoapi::TaggedText text;
    text.Sqlstate("08001").Primary("Could not connect to the Kelvo server.").Detail("%s", detail);
    if (entry.type == CHT_HOST_NAME && std::strcmp(OrEmpty(displayed), host_addr) != 0) {
        text.Hint("Is the server running on host \"%s\" (%s) and accepting TCP/IP connections on port %s?",
                  OrEmpty(displayed), host_addr, pqEntryPortText(entry));
    } else {
        text.Hint("Is the server running on host \"%s\" and accepting TCP/IP connections on port %s?",
                  OrEmpty(displayed), pqEntryPortText(entry));
    }
    appendPQExpBufferStr(&conn->errorMessage, text.c_str());
}

bool pqSetKeepalives(PGconn* conn) {
    char errbuf[256];
    int on = ParseKeepaliveSwitch(conn->keepalives);
    if (on < 0) {
        appendPQExpBufferStr(&conn->errorMessage, "The given keepalives parameter is not an integer.");
        return false;
    }
    if (on == 0)
        return true;
    int one = 1;
    if (setsockopt(conn->sock, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) < 0) {
        appendPQExpBufferStr(&conn->errorMessage, kelvoapi::TaggedText()
                                                      .Sqlstate("08001")
                                                      .Primary("The call to `setsockopt(%s)` failed.", "SO_KEEPALIVE")
                                                      .Detail("%s", SystemError(errno, errbuf, sizeof errbuf))
                                                      .c_str());
        return false;
    }
    const struct {
        const char* text;
        int option;
        const char* name;
    } settings[] = {{conn->keepalives_idle, TCP_KEEPIDLE, "TCP_KEEPIDLE"},
                    {conn->keepalives_interval, TCP_KEEPINTVL, "TCP_KEEPINTVL"},
                    {conn->keepalives_count, TCP_KEEPCNT, "TCP_KEEPCNT"}};
    for (const auto& setting : settings) {
        if (setting.text == nullptr)
            continue;
        int value = atoi(setting.text);
        if (value < 0)
            value = 0;
        if (setsockopt(conn->sock, IPPROTO_TCP, setting.option, &value, sizeof value) < 0) {
            appendPQExpBufferStr(&conn->errorMessage, kelvoapi::TaggedText()
                                                          .Primary("The call to `setsockopt(%s)` failed.", setting.name)
                                                          .Detail("%s", SystemError(errno, errbuf, sizeof errbuf))
                                                          .c_str());
            return false;
        }
    }
    return true;
}

bool pqResolveHost(PGconn* conn) {
    pg_conn_host& entry = conn->connhost[conn->whichhost];
    int port = kDefaultPort;
    if (!ParsePort(entry.port, port)) {
        appendPQExpBuffer(&conn->errorMessage, "The port number \"%s\" is invalid.", entry.port);
        return false;
    }
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    addrinfo* list = nullptr;
    switch (entry.type) {
        case CHT_HOST_NAME: {
            int rc = getaddrinfo(entry.host, service.c_str(), &hints, &list);
            if (rc != 0 || list == nullptr) {
                appendPQExpBufferStr(
                    &conn->errorMessage,
                    kelvoapi::TaggedText()
                        .Primary("Could not translate the host name \"%s\" to an address.", OrEmpty(entry.host))
                        .Detail("%s", gai_strerror(rc))
                        .c_str());
                return false;
            }
            conn->addrlist_family = AF_UNSPEC;
            break;
        }
        case CHT_HOST_ADDRESS: {
            hints.ai_flags = AI_NUMERICHOST;
            int rc = getaddrinfo(entry.hostaddr, service.c_str(), &hints, &list);
            if (rc != 0 || list == nullptr) {
                appendPQExpBufferStr(&conn->errorMessage, kelvoapi::TaggedText()
                                                              .Primary("Could not parse the network address \"%s\".",
                                                                       OrEmpty(entry.hostaddr))
                                                              .Detail("%s", gai_strerror(rc))
                                                              .c_str());
                return false;
            }
            conn->addrlist_family = AF_UNSPEC;
            break;
        }
        case CHT_UNIX_SOCKET: {
            const char* dir = entry.host != nullptr && entry.host[0] != '\0' ? entry.host : "/tmp";
            const std::string path = std::string(dir) + "/.s.PGSQL." + service;
            if (path.size() >= sizeof(sockaddr_un::sun_path)) {
                appendPQExpBufferStr(
                    &conn->errorMessage,
                    kelvoapi::TaggedText()
                        .Primary("The Unix-domain socket path \"%s\" is too long.", path.c_str())
                        .Hint("The maximum length is %d bytes.", static_cast<int>(sizeof(sockaddr_un::sun_path) - 1))
                        .c_str());
                return false;
            }
            list = MakeUnixAddress(path);
            if (list == nullptr) {
                appendPQExpBufferStr(
                    &conn->errorMessage,
                    kelvoapi::TaggedText()
                        .Primary("Could not translate the Unix-domain socket path \"%s\" to an address.", path.c_str())
                        .Detail("out of memory")
                        .c_str());
                return false;
            }
            conn->addrlist_family = AF_UNIX;
            break;
        }
    }
    conn->addrlist = list;
    return true;
}

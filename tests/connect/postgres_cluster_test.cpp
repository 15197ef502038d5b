// The PostgreSQL peer answers every role with the authentication method the
// wire tests expect of it, over its socket and over TCP. Spoken in raw
// protocol bytes, so the peer is checked independently of the client.
#include "support/postgres_cluster.h"
#include "support/test_sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kelvotest {
namespace {

using C = PostgresCluster;

int Connect(bool tcp) {
    const auto& cluster = C::Shared();
    return tcp ? ConnectTcp(C::kTcpHost, cluster.Port()) : ConnectUnix(cluster.SocketPath());
}

// The first message the server sends after a start-up packet for user.
std::string FirstReply(int fd, const std::string& user) {
    std::string body;
    body.append("\x00\x03\x00\x00", 4);
    body += std::string("user") + '\0' + user + '\0' + "database" + '\0' + C::kDatabase + '\0' + '\0';
    uint32_t length = htonl(static_cast<uint32_t>(body.size() + 4));
    std::string packet(reinterpret_cast<const char*>(&length), 4);
    packet += body;
    if (send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size()))
        return "send failed";
    std::string reply;
    while (reply.size() < 9) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1)
            return "no reply";
        char buf[256];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return "closed";
        reply.append(buf, static_cast<size_t>(n));
    }
    return reply.substr(0, 9);
}

std::string AuthRequest(int32_t code) {
    std::string reply = "R";
    reply.append("\x00\x00\x00", 3);
    reply += static_cast<char>(code == 10 ? 23 : code == 5 ? 12 : 8);
    uint32_t be = htonl(static_cast<uint32_t>(code));
    reply.append(reinterpret_cast<const char*>(&be), 4);
    return reply;
}

TEST(PostgresClusterTest, EachRoleMeetsItsAuthenticationMethod) {
    struct Case {
        const char* user;
        int32_t code;  // 0 ok, 3 cleartext, 5 md5, 10 SASL
    };
    const Case cases[] = {
        {C::kAdminUser, 0},    {C::kTrustUser, 0},    {C::kReadOnlyUser, 0},     {C::kPasswordUser, 3},
        {C::kMd5User, 5},      {C::kScramUser, 10},   {C::kSaslprepUser, 10},
    };
    for (bool tcp : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.user) + (tcp ? " over TCP" : " over the socket"));
            int fd = Connect(tcp);
            ASSERT_GE(fd, 0);
            std::string reply = FirstReply(fd, c.user);
            // MD5 carries a 4-byte salt after the code; compare the header only.
            EXPECT_EQ(reply, AuthRequest(c.code).substr(0, 9));
            close(fd);
        }
    }
}

TEST(PostgresClusterTest, FreePortRefusesConnections) {
    int port = FindFreeTcpPort();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
}

}  // namespace
}  // namespace kelvotest

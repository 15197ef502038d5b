// Cancel requests against a peer of the test's own: the exact 16 bytes,
// errno kept, no endless wait on a server that never closes, and the failure
// texts cut to the caller's buffer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "postgres/libpq/cancel.h"
#include "postgres/libpq/connection_record.h"
#include "support/connected_record.h"
#include "support/postgres_cluster.h"
#include "support/scripted_peer.h"

namespace {

struct CancelFree {
    void operator()(PGcancel* c) const { PQfreeCancel(c); }
};
using CancelPtr = std::unique_ptr<PGcancel, CancelFree>;
using kelvotest::ConnPtr;

template <typename Address>
SockAddr ToSockAddr(const Address& address) {
    SockAddr out{};
    memcpy(&out.addr, &address, sizeof address);
    out.salen = sizeof address;
    return out;
}

// A cancel handle for a TCP port on 127.0.0.1 where nothing listens.
PGcancel ClosedPortHandle() {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(kelvotest::FindFreeTcpPort()));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    PGcancel cancel{};
    cancel.raddr = ToSockAddr(sin);
    return cancel;
}

// A handle copies what it needs from the connection and outlives it; the
// call keeps errno and writes nothing on success. A server that never
// closes costs only the time limit: the request went out, so it counts.
TEST(CancelTest, SendsTheSixteenByteRequestAndWaitsForTheClose) {
    kelvotest::ScriptedPeer peer;
    peer.AddConnection().ExpectMessage(0).Close();
    peer.AddConnection().ExpectMessage(0).Close(5000);  // holds the socket until the client gives up
    peer.Start();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, peer.SocketPath().c_str(), sizeof address.sun_path - 1);
    ConnPtr conn(makeEmptyPGconn());
    conn->sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    conn->raddr = ToSockAddr(address);
    conn->be_pid = 0x01020304;
    conn->be_key = -2;
    CancelPtr cancel(PQgetCancel(conn.get()));
    ASSERT_NE(nullptr, cancel);
    conn.reset();

    char errbuf[256] = "untouched";
    errno = 4242;
    EXPECT_EQ(1, PQcancel(cancel.get(), errbuf, sizeof errbuf));
    EXPECT_EQ(4242, errno);
    EXPECT_STREQ("untouched", errbuf);
    EXPECT_EQ(1, pqCancelWithin(cancel.get(), errbuf, sizeof errbuf, 200));
    for (size_t i : {0, 1}) {
        peer.WaitForClose(i);
        EXPECT_EQ(std::string("\x00\x00\x00\x10\x04\xd2\x16\x2e\x01\x02\x03\x04\xff\xff\xff\xfe", 16),
                  peer.Received(i));
    }
}

// The text goes into the buffer as far as it fits, never past its size; a
// buffer of no size, or none, receives nothing.
TEST(CancelTest, FailureTextsAreCutToTheBuffer) {
    PGcancel closedPort = ClosedPortHandle();
    const std::string prefix = "PQcancel() -- connect() failed: ";
    const std::string refused = prefix + strerror(ECONNREFUSED) + "\n";
    const int prefixSize = static_cast<int>(prefix.size());
    struct Case {
        const char* name;
        PGcancel* handle;
        int size;
        std::string expected;
    };
    const Case cases[] = {
        {"refused, room for all", &closedPort, 256, refused},
        {"refused, one byte", &closedPort, 1, ""},
        {"refused, no room for text", &closedPort, prefixSize + 2, prefix + "\n"},
        {"refused, text cut", &closedPort, prefixSize + 5, prefix + refused.substr(prefix.size(), 3) + "\n"},
        {"no handle, cut", nullptr, 5, "PQca"},
        {"refused, no size", &closedPort, 0, ""},
        {"no handle, negative size", nullptr, -100, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string buf(300, 'x');
        errno = 777;
        EXPECT_EQ(0, PQcancel(c.handle, &buf[0], c.size));
        if (c.handle != nullptr) {
            EXPECT_EQ(777, errno);
        }
        const size_t written = c.size > 0 ? c.expected.size() + 1 : 0;
        EXPECT_EQ(c.size > 0 ? c.expected + '\0' : "", buf.substr(0, written));
        EXPECT_EQ(std::string(300 - written, 'x'), buf.substr(written));
        EXPECT_EQ(0, PQcancel(c.handle, nullptr, c.size));
    }
}

TEST(CancelTest, HandlesNeedAnOpenConnection) {
    EXPECT_EQ(nullptr, PQgetCancel(nullptr));
    EXPECT_EQ(0, PQrequestCancel(nullptr));
    ConnPtr conn(makeEmptyPGconn());
    EXPECT_EQ(nullptr, PQgetCancel(conn.get()));
    EXPECT_EQ(0, PQrequestCancel(conn.get()));
    EXPECT_STREQ(
        "<sqlstate>08003</sqlstate><primary>The connection given to `PQrequestCancel()` is not open.</primary>",
        conn->errorMessage.data);

    // A failure of PQrequestCancel is the connection's error text.
    conn->sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    conn->raddr = ClosedPortHandle().raddr;
    EXPECT_EQ(0, PQrequestCancel(conn.get()));
    EXPECT_EQ(std::string("PQcancel() -- connect() failed: ") + strerror(ECONNREFUSED) + "\n", conn->errorMessage.data);
}

}  // namespace

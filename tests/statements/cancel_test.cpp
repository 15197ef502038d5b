// Cancel requests against listeners of the test's own: the exact 16 bytes,
// the failure texts and their truncation, errno kept, and no endless wait on
// a server that never closes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "postgres/libpq/cancel.h"
#include "postgres/libpq/connection_record.h"
#include "support/connected_record.h"
#include "support/postgres_cluster.h"
#include "support/scratch_directory.h"

namespace {

struct CancelFree {
    void operator()(PGcancel* c) const { PQfreeCancel(c); }
};
using CancelPtr = std::unique_ptr<PGcancel, CancelFree>;
using kelvotest::ConnPtr;

// A cancel handle for the given socket address.
template <typename Address>
PGcancel MakeHandle(const Address& address, int pid, int key) {
    PGcancel cancel{};
    memcpy(&cancel.raddr.addr, &address, sizeof address);
    cancel.raddr.salen = sizeof address;
    cancel.be_pid = pid;
    cancel.be_key = key;
    return cancel;
}

// A cancel handle for a TCP port on 127.0.0.1.
PGcancel MakeTcpHandle(int port, int pid, int key) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return MakeHandle(sin, pid, key);
}

// A Unix-socket listener that accepts one connection, records what arrives
// and closes it, or holds it open until destroyed.
class CancelListener {
public:
    CancelListener(const std::string& dir, bool closeAfterRequest) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr_.sun_family = AF_UNIX;
        strncpy(addr_.sun_path, (dir + "/cancel.sock").c_str(), sizeof addr_.sun_path - 1);
        EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_));
        EXPECT_EQ(0, listen(fd_, 4));
        thread_ = std::thread([this, closeAfterRequest] {
            int client = accept(fd_, nullptr, nullptr);
            if (client < 0) return;
            char buf[64];
            while (received_.size() < 16) {
                ssize_t n = recv(client, buf, sizeof buf, 0);
                if (n <= 0) break;
                received_.append(buf, static_cast<size_t>(n));
            }
            if (!closeAfterRequest) {
                // Hold the socket until the client gives up on it.
                while (recv(client, buf, sizeof buf, 0) > 0) {
                }
            }
            close(client);
        });
    }
    ~CancelListener() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    PGcancel Handle(int pid, int key) const { return MakeHandle(addr_, pid, key); }
    // Read after the handle's call returned and the thread has the bytes.
    std::string Received() {
        thread_.join();
        thread_ = std::thread([] {});
        return received_;
    }

private:
    sockaddr_un addr_{};
    int fd_ = -1;
    std::string received_;
    std::thread thread_;
};

// A handle copies what it needs from the connection and outlives it; the
// call keeps errno and writes nothing on success.
TEST(CancelTest, SendsTheSixteenByteRequestAndWaitsForTheClose) {
    kelvotest::ScratchDirectory dir;
    CancelListener listener(dir.Path(), true);
    PGcancel target = listener.Handle(0x01020304, -2);
    ConnPtr conn(makeEmptyPGconn());
    conn->sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    conn->raddr = target.raddr;
    conn->be_pid = target.be_pid;
    conn->be_key = target.be_key;
    CancelPtr cancel(PQgetCancel(conn.get()));
    ASSERT_NE(nullptr, cancel);
    conn.reset();

    char errbuf[256] = "untouched";
    errno = 4242;
    EXPECT_EQ(1, PQcancel(cancel.get(), errbuf, sizeof errbuf));
    EXPECT_EQ(4242, errno);
    EXPECT_STREQ("untouched", errbuf);
    EXPECT_EQ(std::string("\x00\x00\x00\x10\x04\xd2\x16\x2e\x01\x02\x03\x04\xff\xff\xff\xfe", 16), listener.Received());
}

TEST(CancelTest, AServerThatNeverClosesCostsOnlyTheTimeLimit) {
    kelvotest::ScratchDirectory dir;
    CancelListener listener(dir.Path(), false);
    PGcancel handle = listener.Handle(7, 8);
    char errbuf[64];
    // The request went out, so the cancel counts as sent.
    EXPECT_EQ(1, pqCancelWithin(&handle, errbuf, sizeof errbuf, 200));
}

TEST(CancelTest, FailureTextsAreTruncatedToTheBuffer) {
    const int port = kelvotest::FindFreeTcpPort();
    PGcancel closedPort = MakeTcpHandle(port, 1, 2);
    const std::string refused = std::string("PQcancel() -- connect() failed: ") + strerror(ECONNREFUSED) + "\n";
    const std::string prefix = "PQcancel() -- connect() failed: ";

    struct Case {
        const char* name;
        PGcancel* handle;
        int size;
        std::string expected;
    };
    const Case cases[] = {
        {"refused, room for all", &closedPort, 256, refused},
        {"refused, one byte", &closedPort, 1, ""},
        {"refused, prefix cut", &closedPort, 10, "PQcancel("},
        {"refused, no room for text", &closedPort, static_cast<int>(prefix.size()) + 2, prefix + "\n"},
        {"refused, text cut", &closedPort, static_cast<int>(prefix.size()) + 5, prefix + refused.substr(prefix.size(), 3) + "\n"},
        {"no handle, cut", nullptr, 5, "PQca"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string buf(300, 'x');
        errno = 777;
        EXPECT_EQ(0, PQcancel(c.handle, &buf[0], c.size));
        if (c.handle != nullptr) {
            EXPECT_EQ(777, errno);
        }
        EXPECT_EQ(c.expected, std::string(buf.c_str()));
        // Nothing is written past the given size.
        EXPECT_EQ(std::string(300 - c.size, 'x'), buf.substr(c.size));
    }
}

TEST(CancelTest, ABufferOfNoSizeReceivesNothing) {
    PGcancel closedPort = MakeTcpHandle(kelvotest::FindFreeTcpPort(), 1, 2);
    for (int size : {0, -1, -100}) {
        for (PGcancel* handle : {&closedPort, static_cast<PGcancel*>(nullptr)}) {
            char buf[8] = "keep";
            EXPECT_EQ(0, PQcancel(handle, buf, size));
            EXPECT_STREQ("keep", buf);
            EXPECT_EQ(0, PQcancel(handle, nullptr, size));
        }
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
    PGcancel closedPort = MakeTcpHandle(kelvotest::FindFreeTcpPort(), 1, 2);
    conn->sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    conn->raddr = closedPort.raddr;
    EXPECT_EQ(0, PQrequestCancel(conn.get()));
    EXPECT_EQ(std::string("PQcancel() -- connect() failed: ") + strerror(ECONNREFUSED) + "\n", conn->errorMessage.data);
}

}  // namespace

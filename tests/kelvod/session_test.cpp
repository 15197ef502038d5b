// A session on one end of a socket pair, without a listener: a client that
// never completes its start-up is let go instead of holding a thread forever.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "kelvod/process/server_state.h"
#include "kelvod/protocol/session.h"
#include "support/wire_client.h"

TEST(KelvodSession, AClientThatNeverFinishesItsStartupIsLetGo) {
    const std::string cutStartup = {0, 0, 0, 40, 0, 3, 0, 0};  // a length of 40, then only the version
    for (const std::string& sent : {std::string(), cutStartup}) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        kelvod::ServerState server(nullptr, "", "");
        auto session = std::make_unique<kelvod::Session>(server, fds[0], std::chrono::milliseconds(50));
        std::thread thread([&] { session->Run(); });
        ASSERT_EQ(::send(fds[1], sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
        // The session ends on its own and the client sees the connection close.
        pollfd p{fds[1], POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 20000), 1) << sent.size();
        char byte;
        EXPECT_EQ(::recv(fds[1], &byte, 1, 0), 0) << sent.size();
        session->Stop();  // so that a session that missed its deadline cannot hang the test
        thread.join();
        session.reset();
        ::close(fds[1]);
    }
}

TEST(KelvodSession, PartlyReceivedMessagesOfAllSessionsShareOneBound) {
    duckdb_database engine = nullptr;
    ASSERT_EQ(duckdb_open(nullptr, &engine), DuckDBSuccess);
    kelvod::ServerState server(engine, "", "", 1u << 20);
    const auto be32 = kelvotest::WireClient::Int32;
    // Reads until `marker` arrives or the peer closes; returns what came.
    auto readUntil = [](int fd, const std::string& marker) {
        std::string in;
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        while (in.find(marker) == std::string::npos && ::poll(&p, 1, 20000) == 1) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            in.append(buf, static_cast<size_t>(n));
        }
        return in;
    };
    struct Client {
        int fds[2];
        std::unique_ptr<kelvod::Session> session;
        std::thread thread;
    } clients[2];
    const std::string startupBody = be32(196608) + std::string("user\0x\0\0", 8);
    const std::string halfQuery = "Q" + be32(700000) + std::string(600000, ' ');
    for (auto& c : clients) {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, c.fds), 0);
        c.session = std::make_unique<kelvod::Session>(server, c.fds[0]);
        c.thread = std::thread([&c] { c.session->Run(); });
        std::string startup = be32(static_cast<int32_t>(startupBody.size() + 4)) + startupBody;
        ASSERT_EQ(::send(c.fds[1], startup.data(), startup.size(), 0), static_cast<ssize_t>(startup.size()));
        ASSERT_NE(readUntil(c.fds[1], std::string("Z\0\0\0\5I", 6)).find('Z'), std::string::npos);
    }
    // The first client's half message fits; the second one's would pass the bound.
    ASSERT_EQ(::send(clients[0].fds[1], halfQuery.data(), halfQuery.size(), 0), static_cast<ssize_t>(halfQuery.size()));
    usleep(200000);
    // (the session stops reading once refused, so the send may end early)
    EXPECT_GT(::send(clients[1].fds[1], halfQuery.data(), halfQuery.size(), MSG_NOSIGNAL), 0);
    std::string refused = readUntil(clients[1].fds[1], "\xff");
    EXPECT_NE(refused.find("SFATAL"), std::string::npos);
    EXPECT_NE(refused.find("C53200"), std::string::npos);
    // The first session goes on: the rest of its message arrives and is answered.
    std::string rest = std::string(100000 - 5, ' ') + "SELECT 1" + std::string(1, '\0');
    rest = rest.substr(rest.size() - (700000 - 4 - 600000));
    ASSERT_EQ(::send(clients[0].fds[1], rest.data(), rest.size(), 0), static_cast<ssize_t>(rest.size()));
    std::string answer = readUntil(clients[0].fds[1], "SELECT 1");
    EXPECT_NE(answer.find("SELECT 1"), std::string::npos) << answer;
    for (auto& c : clients) {
        c.session->Stop();
        c.thread.join();
        c.session.reset();
        ::close(c.fds[1]);
    }
    duckdb_close(&engine);
}

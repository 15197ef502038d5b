// A session on one end of a socket pair, without a listener: a client that never completes its start-up is let go
// instead of holding a thread forever.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "kelvod/process/server_state.h"
#include "kelvod/protocol/session.h"
#include "support/wire_client.h"

namespace {

// A session on its own thread behind one end of a socket pair; the client has the other.
struct PairedSession {
    PairedSession(kelvod::ServerState& server, std::chrono::milliseconds startupTimeout) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client.Adopt(fds[1]);
        session = std::make_unique<kelvod::Session>(server, fds[0], startupTimeout);
        thread = std::thread([this] { session->Run(); });
    }
    ~PairedSession() {
        session->Stop();  // so that a session that missed its deadline cannot hang the test
        thread.join();
    }
    kelvotest::WireClient client;
    std::unique_ptr<kelvod::Session> session;
    std::thread thread;
};

}  // namespace

TEST(KelvodSession, AClientThatNeverFinishesItsStartupIsLetGo) {
    const std::string cutStartup = {0, 0, 0, 40, 0, 3, 0, 0};  // a length of 40, then only the version
    for (const std::string& sent : {std::string(), cutStartup}) {
        kelvod::ServerState server(nullptr, "", "");
        PairedSession s(server, std::chrono::milliseconds(50));
        s.client.SendRaw(sent);
        // The session ends on its own and the client sees the connection close.
        EXPECT_TRUE(s.client.WaitClosed(20000)) << sent.size();
    }
}

TEST(KelvodSession, PartlyReceivedMessagesOfAllSessionsShareOneBound) {
    duckdb_database engine = nullptr;
    ASSERT_EQ(duckdb_open(nullptr, &engine), DuckDBSuccess);
    {
        kelvod::ServerState server(engine, "", "", 1u << 20);
        PairedSession clients[] = {{server, std::chrono::seconds(60)}, {server, std::chrono::seconds(60)}};
        for (auto& c : clients)
            ASSERT_EQ(c.client.Startup({{"user", "x"}}).status, 'I');
        // The first client's half message fits; the second one's would pass the bound.
        const std::string halfQuery = "Q" + kelvotest::WireClient::Int32(700000) + std::string(600000, ' ');
        clients[0].client.SendRaw(halfQuery);
        usleep(200000);
        // (the session stops reading once refused, so the send may end early)
        clients[1].client.SendRaw(halfQuery);
        kelvotest::WireResult refused = clients[1].client.ReadUntilReady(20000);
        EXPECT_EQ(refused.errors.empty() ? "" : refused.errors[0].severity + " " + refused.Sqlstate(), "FATAL 53200");
        // The first session goes on: the rest of its message arrives and is answered.
        std::string rest = std::string(100000 - 5, ' ') + "SELECT 1" + std::string(1, '\0');
        clients[0].client.SendRaw(rest.substr(rest.size() - (700000 - 4 - 600000)));
        EXPECT_EQ(clients[0].client.ReadUntilReady(20000).Outcome(), "SELECT 1");
    }
    duckdb_close(&engine);
}

// The connection's socket I/O against the scripted peer over a real socket.
#include "postgres/libpq/socket_io.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <string>
#include <vector>

#include "parser_helpers.h"
#include "postgres/libpq/message_io.h"
#include "support/scripted_peer.h"

namespace {

using namespace kelvotest;
namespace w = kelvotest::wire;

// Unix and TCP sockets take the same paths here; the wire tests run TCP.
ConnPtr Connect(ScriptedPeer& peer) { return MakeConnectedRecord(peer.ConnectUnix()); }

TEST(SocketIO, ServerCloseKeepsTheDataAlreadyRead) {
    ScriptedPeer peer;
    peer.AddConnection()
        .Send(w::ErrorResponse({{'S', "FATAL"}, {'C', "57P01"}, {'M', "terminating connection"}}))
        .Close();
    peer.Start();
    auto conn = Connect(peer);
    BeginStatement(conn.get());

    int rc;
    do {
        ASSERT_EQ(pqWait(1, 0, conn.get()), 0);
        rc = pqReadData(conn.get());
    } while (rc > 0);
    EXPECT_EQ(rc, -1);
    const std::string hint =
        "</primary><detail>pqReadData</detail><hint>The server process may have been shut down "
        "or terminated before or while processing the request.</hint>";
    EXPECT_EQ(conn->errorMessage.data,
              "<sqlstate>08003</sqlstate><primary>The Kelvo server closed the connection unexpectedly." + hint);
    EXPECT_EQ(conn->status, CONNECTION_BAD);
    EXPECT_EQ(conn->sock, -1);

    // The server's last words are still parseable.
    resetPQExpBuffer(&conn->errorMessage);
    auto results = TakeResults(conn.get());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_STREQ(PQresultErrorField(results[0].get(), 'C'), "57P01");

    EXPECT_EQ(pqReadData(conn.get()), -1);
    EXPECT_EQ(conn->errorMessage.data,
              "<sqlstate>08003</sqlstate><primary>The connection to the Kelvo server is not open." + hint);
    EXPECT_EQ(pqFlush(conn.get()), 0);
    ASSERT_EQ(pqPutMsgStart('X', false, conn.get()), 0);
    ASSERT_EQ(pqPutMsgEnd(conn.get()), 0);
    EXPECT_EQ(pqFlush(conn.get()), -1);
    EXPECT_NE(std::string(conn->errorMessage.data).find("<detail>pqSendSome</detail>"), std::string::npos);
    EXPECT_EQ(conn->outCount, 0);
}

std::atomic<int> g_sigpipes{0};
void countSigpipe(int) { g_sigpipes++; }

// Sending to a peer that has gone raises no SIGPIPE, with MSG_NOSIGNAL and
// with the signal-mask fall-back alike.
TEST(SocketIO, BrokenPipeRaisesNoSignal) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = countSigpipe;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &sa, &old), 0);

    for (bool useFlag : {true, false}) {
        g_sigpipes = 0;
        ScriptedPeer peer;
        peer.AddConnection().Close();
        peer.Start();
        auto conn = Connect(peer);
        conn->sigpipe_flag = useFlag;
        peer.WaitForClose(0);

        const std::string block(100000, 'x');
        int rc = 0;
        for (int i = 0; i < 50 && rc == 0; ++i) {
            rc = pqPutMsgStart('d', false, conn.get());
            if (rc == 0)
                rc = pqPutnchar(block.data(), block.size(), conn.get());
            if (rc == 0)
                rc = pqPutMsgEnd(conn.get());
            if (rc == 0)
                rc = pqFlush(conn.get());
        }
        EXPECT_EQ(rc, -1) << useFlag;
        EXPECT_EQ(g_sigpipes.load(), 0) << useFlag;
        const std::string text = conn->errorMessage.data;
        EXPECT_NE(text.find("closed the connection"), std::string::npos) << text;
        // A failed send keeps the socket for the server's last message.
        EXPECT_EQ(conn->status == CONNECTION_BAD, conn->sock < 0) << useFlag;
        sigset_t pending;
        sigpending(&pending);
        EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    }
    sigaction(SIGPIPE, &old, nullptr);
}

TEST(SocketIO, WaitsTimeOutAndReportClosedSockets) {
    ScriptedPeer peer;
    peer.AddConnection().Await(1).Send(w::ReadyForQuery());
    peer.Start();
    auto conn = Connect(peer);
    // Nothing to read yet: an end time in the past times out at once. The
    // texts of hosts tried before the time-out are kept.
    printfPQExpBuffer(&conn->errorMessage, "<primary>first host</primary>");
    EXPECT_EQ(pqWaitTimed(1, 0, conn.get(), time(nullptr) - 1), 1);
    EXPECT_STREQ(conn->errorMessage.data,
                 "<primary>first host</primary><sqlstate>08001</sqlstate><primary>timeout expired</primary>");
    EXPECT_EQ(pqReadData(conn.get()), 0);
    EXPECT_EQ(pqSocketCheck(conn.get(), 0, 0, -1), 0);
    EXPECT_EQ(pqSocketCheck(conn.get(), 0, 1, 0), 1);
    peer.Open(1);
    EXPECT_EQ(pqWait(1, 0, conn.get()), 0);
    EXPECT_EQ(pqReadData(conn.get()), 1);
    EXPECT_EQ(conn->inEnd - conn->inStart, 6);

    pqDropConnection(conn.get(), true);
    EXPECT_EQ(pqWait(1, 0, conn.get()), -1);
    EXPECT_STREQ(conn->errorMessage.data, "The socket is invalid.");
}

}  // namespace

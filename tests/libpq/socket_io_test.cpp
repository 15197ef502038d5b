// The connection's socket I/O against the scripted peer over a real socket.
#include "postgres/libpq/socket_io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "parser_helpers.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/read_ahead.h"
#include "support/scripted_peer.h"
#include "support/seeded_random.h"

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

    int rc = 0;
    while (pqWait(1, 0, conn.get()) == 0 && (rc = pqReadData(conn.get())) > 0)
        continue;
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
        for (int i = 0; i < 50 && rc == 0; ++i)
            rc = pqPutMsgStart('d', false, conn.get()) || pqPutnchar(block.data(), block.size(), conn.get()) ||
                         pqPutMsgEnd(conn.get()) || pqFlush(conn.get())
                     ? -1
                     : 0;
        EXPECT_EQ(rc, -1) << useFlag;
        EXPECT_EQ(g_sigpipes.load(), 0) << useFlag;
        const std::string text = conn->errorMessage.data;
        EXPECT_NE(text.find("closed the connection"), std::string::npos) << text;
        // A failed send leaves the stream out of step: the connection is
        // bad, but keeps the socket for the server's last message.
        EXPECT_EQ(conn->status, CONNECTION_BAD) << useFlag;
        EXPECT_GE(conn->sock, 0) << useFlag;
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

// Bytes received ahead reach the input buffer whole and in order, however
// the reader's consumption and pauses and the writer's sends fall: received
// by the reader itself, blocks taken as the buffer, blocks appended behind a
// long unread message, blocks taken half-filled; after a detach mid-stream
// the socket is read directly; the end of the stream reads as it does
// without read-ahead.
TEST(SocketIO, ReadAheadKeepsTheStreamWhole) {
    for (const size_t limit : {size_t{1}, size_t{100000}, size_t{1} << 28}) {
        SCOPED_TRACE(limit);
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        ConnPtr conn = MakeConnectedRecord(fds[0]);
        SeededRandom random(static_cast<uint32_t>(limit));
        std::string sent(3 << 20, '\0');
        for (char& c : sent)
            c = static_cast<char>(random(256));
        std::thread writer([&] {
            SeededRandom sizes(7);
            for (size_t at = 0; at < sent.size();) {
                const size_t n = std::min<size_t>(sent.size() - at, 1 + sizes(200000));
                const ssize_t w = write(fds[1], sent.data() + at, n);
                ASSERT_GT(w, 0);
                at += static_cast<size_t>(w);
                if (sizes(4) == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            close(fds[1]);
        });
        auto readAhead = std::make_unique<ReadAhead>(conn.get(), limit);
        std::string received;
        int rc;
        while ((rc = pqReadBlocking(conn.get())) > 0) {
            // Leaves up to 400 KiB unread now and then, as a long message
            // would, which is more than a block's room in front.
            const int unread = conn->inEnd - conn->inStart;
            const int keep = random(8) == 0 ? std::min(unread, static_cast<int>(random(400000))) : 0;
            received.append(conn->inBuffer + conn->inStart, static_cast<size_t>(unread - keep));
            conn->inStart = conn->inCursor = conn->inEnd - keep;
            if (received.size() > sent.size() / 2 && limit == 1)
                readAhead.reset();
            // A reader busy now and then lets the thread take the socket.
            if (random(16) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(6));
        }
        received.append(conn->inBuffer + conn->inStart, static_cast<size_t>(conn->inEnd - conn->inStart));
        writer.join();
        EXPECT_EQ(-1, rc);
        EXPECT_EQ(limit == 1, readAhead == nullptr);
        EXPECT_NE(std::string::npos, std::string(conn->errorMessage.data)
                                         .find("<primary>The Kelvo server closed the connection unexpectedly."
                                               "</primary><detail>pqReadData</detail>"));
        EXPECT_EQ(CONNECTION_BAD, conn->status);
        EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
        readAhead.reset();
        EXPECT_EQ(nullptr, conn->readAhead);
    }
}

// Voluntary context switches of every thread of this process so far.
long ProcessSleeps() {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(24));
    }
    return total;
}

// While the reader waits for a server that sends nothing, the thread sleeps
// too: it wakes on arrivals, not on a timer.
TEST(SocketIO, ReadAheadSleepsWhileTheServerIsSilent) {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    ConnPtr conn = MakeConnectedRecord(fds[0]);
    ReadAhead readAhead(conn.get(), size_t{1} << 20);
    long sleeps = 0;
    std::thread writer([&] {
        const long before = ProcessSleeps();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sleeps = ProcessSleeps() - before;
        ASSERT_EQ(1, write(fds[1], "x", 1));
    });
    EXPECT_EQ(1, pqReadBlocking(conn.get()));
    writer.join();
    EXPECT_EQ('x', conn->inBuffer[conn->inStart]);
    // A thread that looked every few milliseconds slept about a hundred times.
    EXPECT_LT(sleeps, 20);
    close(fds[1]);
}

}  // namespace

// The connection's socket I/O and statements against the scripted peer over a real socket.
#include "postgres/libpq/socket_io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "parser_helpers.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/protocol2_startup.h"
#include "postgres/libpq/query_execution.h"
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

// Sending to a peer that has gone raises no SIGPIPE, with MSG_NOSIGNAL and with the signal-mask fall-back alike.
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
        // A failed send leaves the stream out of step: the connection is bad, but keeps the socket for the server's
        // last message.
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
    // Nothing to read yet: an end time in the past times out at once. The texts of hosts tried before the time-out are
    // kept.
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

// Bytes received ahead reach the input buffer whole and in order, however the reader's consumption and pauses and the
// writer's sends fall: received by the reader itself, blocks taken as the buffer, blocks appended behind a long unread
// message, blocks taken half-filled; after a detach mid-stream the socket is read directly; the end of the stream reads
// as it does without read-ahead.
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
            // Leaves up to 400 KiB unread now and then, as a long message would, which is more than a block's room in
            // front.
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

// Every result until null, described.
std::vector<std::string> CollectResults(PGconn* conn) {
    std::vector<ResultPtr> out;
    while (PGresult* res = PQgetResult(conn))
        out.emplace_back(res);
    return Describe(out);
}

TEST(QueryExecution, SendingFunctionsRefuseBadRequests) {
    const char* values[] = {"abc"};
    const int binary[] = {1};
    const int lengths[] = {-5};
    // Each call on a fresh idle record.
    const std::tuple<std::function<int(PGconn*)>, std::string> cases[] = {
        {[](PGconn* c) { return PQsendQuery(c, nullptr); }, "The given command string is a null pointer."},
        {[](PGconn* c) { return PQsendQueryParams(c, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0); },
         "The given command string is a null pointer."},
        {[](PGconn* c) { return PQsendPrepare(c, "s", nullptr, 0, nullptr); }, "The command string is a null pointer."},
        {[](PGconn* c) { return PQsendPrepare(c, nullptr, "SELECT 1", 0, nullptr); },
         "The given statement name is a null pointer."},
        {[](PGconn* c) { return PQsendQueryPrepared(c, nullptr, 0, nullptr, nullptr, nullptr, 0); },
         "The given statement name is a null pointer."},
        {[](PGconn* c) { return PQsendQueryParams(c, "x", 65536, nullptr, nullptr, nullptr, nullptr, 0); },
         "The number of parameters is not between 0 and 65535."},
        {[](PGconn* c) { return PQsendQueryPrepared(c, "s", -1, nullptr, nullptr, nullptr, 0); },
         "The number of parameters is not between 0 and 65535."},
        {[&](PGconn* c) { return PQsendQueryParams(c, "x", 1, nullptr, values, nullptr, binary, 0); },
         "The length was not given for a binary parameter."},
        {[&](PGconn* c) { return PQsendQueryParams(c, "x", 1, nullptr, values, lengths, binary, 0); },
         "The length of binary parameter 1 is negative."},
        {[](PGconn* c) {
             c->pversion = PG_PROTOCOL(2, 0);
             return PQsendQueryParams(c, "x", 0, nullptr, nullptr, nullptr, nullptr, 0);
         },
         "This function requires at least protocol version 3.0."},
        {[](PGconn* c) {
             c->status = CONNECTION_BAD;
             return PQsendQuery(c, "x");
         },
         "<sqlstate>08003</sqlstate><primary>There is no connection to the server.</primary>"}};
    for (const auto& [call, text] : cases) {
        auto conn = MakeDetachedRecord();
        EXPECT_EQ(call(conn.get()), 0) << text;
        EXPECT_EQ(std::string(conn->errorMessage.data), text);
        EXPECT_EQ(conn->outCount, 0) << text;  // nothing half-queued, not marked busy
        EXPECT_NE(conn->asyncStatus, PGASYNC_BUSY) << text;
    }
    EXPECT_EQ(PQsendQuery(nullptr, "x"), 0);
    EXPECT_EQ(PQgetResult(nullptr), nullptr);
    EXPECT_EQ(PQexec(nullptr, "x"), nullptr);
}

TEST(QueryExecution, ExtendedProtocolBytes) {
    ScriptedPeer peer;
    peer.AddConnection().ExpectMessage('S').Send(w::ParseComplete() + w::BindComplete() + w::RowDescription({{"a"}}) +
                                                 w::DataRow({std::string("0")}) + w::CommandComplete("SELECT 1") +
                                                 w::ReadyForQuery());
    peer.Start();
    auto conn = MakeConnectedRecord(peer.ConnectUnix());
    const Oid types[] = {25, 17, 23};
    const char* values[] = {"txt", "\x01\x00\x02", nullptr};
    const int lengths[] = {0, 3, 0};
    const int formats[] = {0, 1, 0};
    ASSERT_EQ(PQsendQueryParams(conn.get(), "SELECT $1, $2, $3", 3, types, values, lengths, formats, 1), 1);
    EXPECT_EQ(CollectResults(conn.get()), std::vector<std::string>{"2:1:SELECT 1"});
    conn.reset();
    peer.WaitForClose(0);

    const std::string expected =
        w::Message('P', w::CStr("") + w::CStr("SELECT $1, $2, $3") + w::Int16(3) + w::Int32(25) + w::Int32(17) +
                            w::Int32(23)) +
        w::Message('B', w::CStr("") + w::CStr("") + w::Int16(3) + w::Int16(0) + w::Int16(1) + w::Int16(0) +
                            w::Int16(3) + w::Int32(3) + "txt" + w::Int32(3) + std::string("\x01\x00\x02", 3) +
                            w::Int32(-1) + w::Int16(1) + w::Int16(1)) +
        w::Message('D', "P" + w::CStr("")) + w::Message('E', w::CStr("") + w::Int32(0)) + w::Message('S', "");
    EXPECT_EQ(peer.Received(0), expected);
}

// One session: PQexec hands out the last of several results and merges an error into the connection's text, and the
// next PQexec abandons an open COPY OUT and ends an open COPY IN with CopyFail; then a statement is read without
// blocking.
TEST(QueryExecution, ExecCollectsTheLastResultEndsOpenCopiesAndNeverBlocks) {
    ScriptedPeer peer;
    peer.AddConnection()
        .ExpectMessage('Q')
        .Send(w::CommandComplete("CREATE TABLE") + w::CommandComplete("INSERT 0 2") + w::ReadyForQuery())
        .ExpectMessage('Q')
        .Send(w::ErrorResponse({{'S', "ERROR"}, {'C', "XX000"}, {'M', "one"}}) + w::ReadyForQuery())
        .ExpectMessage('Q')
        .Send(w::CopyOutResponse(0, {0}) + w::CopyData("a\n") + w::CopyData("b\n") + w::CopyDone() +
              w::CommandComplete("COPY 2") + w::ReadyForQuery())
        .ExpectMessage('Q')
        .Send(w::EmptyQueryResponse() + w::ReadyForQuery('T'))
        .ExpectMessage('Q')
        .Send(w::CopyInResponse(0, {0, 0}))
        .ExpectMessage('f')
        .Send(w::ErrorResponse({{'S', "ERROR"}, {'C', "57014"}, {'M', "COPY from stdin failed"}}) + w::ReadyForQuery())
        .ExpectMessage('Q')
        .Send(w::CommandComplete("SET") + w::ReadyForQuery())
        .ExpectMessage('Q')
        .Await(1)
        .Send(w::CommandComplete("SET") + w::ReadyForQuery());
    peer.Start();
    auto conn = MakeConnectedRecord(peer.ConnectUnix());

    ResultPtr res(PQexec(conn.get(), "CREATE TABLE t(); INSERT ..."));
    EXPECT_EQ(PQresultStatus(res.get()), PGRES_COMMAND_OK);
    EXPECT_STREQ(PQcmdTuples(res.get()), "2");
    res.reset(PQexec(conn.get(), "bad"));
    EXPECT_EQ(PQresultStatus(res.get()), PGRES_FATAL_ERROR);
    EXPECT_STREQ(PQresultErrorField(res.get(), 'M'), "one");
    EXPECT_STREQ(conn->errorMessage.data, PQresultErrorMessage(res.get()));

    res.reset(PQexec(conn.get(), "COPY t TO STDOUT"));
    EXPECT_EQ(PQresultStatus(res.get()), PGRES_COPY_OUT);
    res.reset(PQexec(conn.get(), ""));
    EXPECT_EQ(PQresultStatus(res.get()), PGRES_EMPTY_QUERY);
    EXPECT_EQ(conn->xactStatus, PQTRANS_INTRANS);

    res.reset(PQexec(conn.get(), "COPY t FROM STDIN"));
    EXPECT_EQ(PQresultStatus(res.get()), PGRES_COPY_IN);
    EXPECT_EQ(PQnfields(res.get()), 2);
    res.reset(PQexec(conn.get(), "SET x = 1"));
    EXPECT_EQ(PQresultStatus(res.get()), PGRES_COMMAND_OK);

    ASSERT_EQ(PQsendQuery(conn.get(), "SET x = 1"), 1);
    EXPECT_EQ(PQconsumeInput(conn.get()), 1);
    EXPECT_EQ(PQisBusy(conn.get()), 1);
    peer.Open(1);
    while (PQisBusy(conn.get())) {
        ASSERT_EQ(pqWait(1, 0, conn.get()), 0);
        ASSERT_EQ(PQconsumeInput(conn.get()), 1);
    }
    EXPECT_EQ(CollectResults(conn.get()), std::vector<std::string>{"1:0:SET"});
    EXPECT_EQ(PQisBusy(nullptr), 0);
    EXPECT_EQ(PQconsumeInput(nullptr), 0);

    conn.reset();
    peer.WaitForClose(0);
    const auto messages = peer.Messages(0);
    ASSERT_EQ(messages.size(), 8u);
    EXPECT_EQ(messages[5].type, 'f');
    EXPECT_EQ(messages[5].body, w::CStr("COPY was terminated by a new `PQexec`."));
}

TEST(QueryExecution, AFailedSetEndsTheProtocol2SettingsExchange) {
    unsetenv("PGDATESTYLE");
    unsetenv("PGTZ");
    unsetenv("PGGEQO");
    ScriptedPeer peer;
    peer.AddConnection()
        .ExpectBytes(w::CStr("QSET client_encoding = DEFAULT").size())
        .Send("E" + w::CStr("ERROR:  nope\n") + "Z");
    peer.Start();
    auto conn = MakeConnectedRecord(peer.ConnectTcp());
    conn->pversion = PG_PROTOCOL(2, 0);
    conn->client_encoding_initial = strdup("Default");
    pqSetenvStart(conn.get());
    PostgresPollingStatusType rc;
    while ((rc = pqSetenvPoll(conn.get())) == PGRES_POLLING_READING)
        ASSERT_EQ(pqWait(1, 0, conn.get()), 0);
    EXPECT_EQ(rc, PGRES_POLLING_FAILED);
    EXPECT_STREQ(conn->errorMessage.data, "ERROR:  nope\n");
}

}  // namespace

// COPY data over one end of a socket pair, the test playing the server on the other end, including what PostgreSQL
// cannot be made to send.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "postgres/libpq/copy_data.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/socket_io.h"
#include "support/connected_record.h"
#include "support/scripted_peer.h"

namespace {

using kelvotest::ConnPtr;
namespace wire = kelvotest::wire;

// The server's end of a socket pair joined to a connection record, and the notices the record received.
struct CopyPeer {
    explicit CopyPeer(PGAsyncStatusType state, PGQueryClass queryclass = PGQUERY_SIMPLE) {
        int fds[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
        server = fds[1];
        record = kelvotest::MakeConnectedRecord(fds[0]);
        record->asyncStatus = state;
        record->queryclass = queryclass;
        record->noticeHooks.noticeRec = [](void* arg, const PGresult* res) {
            static_cast<CopyPeer*>(arg)->notices.push_back(PQresultErrorField(res, 'M'));
        };
        record->noticeHooks.noticeRecArg = this;
    }
    ~CopyPeer() { close(server); }
    PGconn* conn() { return record.get(); }
    // Small messages: one write takes them whole.
    void Send(const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(server, bytes.data(), bytes.size()));
    }
    // Everything the client has sent so far, without waiting.
    std::string Received() {
        std::string out(65536, '\0');
        const ssize_t n = recv(server, &out[0], out.size(), MSG_DONTWAIT);
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }
    ConnPtr record;
    int server = -1;
    std::vector<std::string> notices;
};

// Reads everything that arrives on fd until the client closes its end.
std::future<std::string> Drain(int fd) {
    return std::async(std::launch::async, [fd] {
        std::string bytes;
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            bytes.append(buf, static_cast<size_t>(n));
        return bytes;
    });
}

std::string ServerError(const std::string& message) {
    return wire::ErrorResponse({{'S', "ERROR"}, {'C', "22P02"}, {'M', message}});
}

TEST(CopyDataTest, RefusesCallsOutsideACopyAndBadBlocksBeforeSendingAnything) {
    for (PGAsyncStatusType state : {PGASYNC_BUSY, PGASYNC_COPY_OUT, PGASYNC_COPY_IN}) {
        CopyPeer peer(state);
        char* buffer = reinterpret_cast<char*>(1);
        if (state == PGASYNC_COPY_IN) {
            EXPECT_EQ(-2, PQgetCopyData(peer.conn(), &buffer, 1));
            EXPECT_EQ(nullptr, buffer);
        } else {
            EXPECT_EQ(-1, PQputCopyData(peer.conn(), "abc", 3));
            EXPECT_STREQ("No COPY is in progress.", peer.conn()->errorMessage.data);
            EXPECT_EQ(-1, PQputCopyEnd(peer.conn(), nullptr));
        }
        EXPECT_STREQ("No COPY is in progress.", peer.conn()->errorMessage.data);
        EXPECT_EQ(state, peer.conn()->asyncStatus);
        EXPECT_EQ("", peer.Received());
    }
    char* buffer = reinterpret_cast<char*>(1);
    EXPECT_EQ(-1, PQputCopyData(nullptr, "x", 1));
    EXPECT_EQ(-1, PQputCopyEnd(nullptr, nullptr));
    EXPECT_EQ(-2, PQgetCopyData(nullptr, &buffer, 0));
    EXPECT_EQ(nullptr, buffer);
    // The sizes are refused before the bytes are read.
    const std::tuple<const char*, int, std::string> blocks[] = {
        {"abc", -1, "<sqlstate>22023</sqlstate><primary>The size of the COPY data is negative (-1).</primary>"},
        {nullptr, 5, "<sqlstate>22023</sqlstate><primary>The COPY data is a null pointer.</primary>"},
        {"abc", INT_MAX - 4,
         "<sqlstate>54000</sqlstate><primary>The COPY data of 2147483643 bytes does not fit into one "
         "message.</primary>"}};
    for (const auto& [data, nbytes, text] : blocks) {
        SCOPED_TRACE(nbytes);
        CopyPeer peer(PGASYNC_COPY_IN);
        printfPQExpBuffer(&peer.conn()->errorMessage, "before");
        EXPECT_EQ(-1, PQputCopyData(peer.conn(), data, nbytes));
        EXPECT_EQ(text, peer.conn()->errorMessage.data);
        EXPECT_EQ(PGASYNC_COPY_IN, peer.conn()->asyncStatus);
        EXPECT_EQ(0, peer.conn()->outCount);
        EXPECT_EQ("", peer.Received());
    }
}

TEST(CopyDataTest, EndsTheCopyWithTheRightMessages) {
    // Protocol version, query class, the reason to fail the copy, and the bytes sent.
    const std::string rows = wire::CopyData("1\tone\n") + wire::CopyData("2\ttwo\n");
    const std::tuple<int, PGQueryClass, const char*, std::string> cases[] = {
        {3, PGQUERY_SIMPLE, "stop here", rows + wire::Message('f', wire::CStr("stop here"))},
        {3, PGQUERY_EXTENDED, nullptr, rows + wire::Message('c', "") + wire::Message('S', "")},
        {2, PGQUERY_SIMPLE, nullptr, "1\tone\n2\ttwo\n\\.\n"},
        {2, PGQUERY_SIMPLE, "no reasons in protocol 2.0", "1\tone\n2\ttwo\n"}};
    for (const auto& [protocol, queryclass, reason, sent] : cases) {
        const bool refused = protocol == 2 && reason != nullptr;
        SCOPED_TRACE(sent);
        CopyPeer peer(PGASYNC_COPY_IN, queryclass);
        peer.conn()->pversion = PG_PROTOCOL(protocol, 0);
        EXPECT_EQ(1, PQputCopyData(peer.conn(), "1\tone\n", 6));
        EXPECT_EQ(1, PQputCopyData(peer.conn(), "2\ttwo\n", 6));
        EXPECT_EQ("", peer.Received());  // small blocks wait for a whole batch
        printfPQExpBuffer(&peer.conn()->errorMessage, "old text");
        EXPECT_EQ(refused ? -1 : 1, PQputCopyEnd(peer.conn(), reason));
        EXPECT_STREQ(refused ? "This function requires at least protocol version 3.0." : "",
                     peer.conn()->errorMessage.data);
        if (refused) {
            EXPECT_EQ(0, pqFlush(peer.conn()));
        }
        EXPECT_EQ(sent, peer.Received());
        EXPECT_EQ(refused ? PGASYNC_COPY_IN : PGASYNC_BUSY, peer.conn()->asyncStatus);
    }
}

TEST(CopyDataTest, StopsSendingOnceTheServerHasFailedTheCopy) {
    // Query class, whether the server reads (else it stops, with its error sent), what the client sends after the last
    // data, what the server sends ahead of its error, and the notices.
    const std::string notice = wire::NoticeResponse({{'S', "NOTICE"}, {'C', "00000"}, {'M', "row 1"}});
    using Notices = std::vector<std::string>;
    const std::tuple<PGQueryClass, bool, std::string, std::string, Notices> cases[] = {
        {PGQUERY_EXTENDED, true, wire::Message('S', ""), notice, {"row 1"}},
        {PGQUERY_SIMPLE, false, "", notice, {"row 1"}},
        {PGQUERY_SIMPLE, false, "", wire::ParameterStatus("TimeZone", "UTC"), {}}};
    for (const auto& [queryclass, serverReads, trailer, before, notices] : cases) {
        SCOPED_TRACE(before);
        CopyPeer peer(PGASYNC_COPY_IN, queryclass);
        PGconn* conn = peer.conn();
        const std::string block(1024 * 1024, 'x');
        // Fill the socket until it is full, so that the error arrives while the client waits to send.
        peer.Send(before + ServerError("bad row") + wire::ReadyForQuery('I'));
        std::future<std::string> drain = serverReads ? Drain(peer.server) : std::future<std::string>();
        int rc = 1, calls = 0;
        for (; rc == 1 && calls < 64; ++calls)
            rc = PQputCopyData(conn, block.data(), static_cast<int>(block.size()));
        EXPECT_EQ(-1, rc);
        // The error was noticed within the first blocks, not after all 64.
        EXPECT_LE(calls, 2);
        const std::string text = conn->errorMessage.data;
        EXPECT_NE(std::string::npos, text.find("<sqlstate>22P02</sqlstate><primary>bad row</primary>")) << text;
        EXPECT_EQ(notices, peer.notices);
        // The error is ready for PQgetResult; the copy is over.
        EXPECT_EQ(PGASYNC_READY, conn->asyncStatus);
        ASSERT_NE(nullptr, conn->result);
        EXPECT_EQ(PGRES_FATAL_ERROR, conn->result->resultStatus);
        EXPECT_EQ(-1, PQputCopyData(conn, "y", 1));
        EXPECT_STREQ("No COPY is in progress.", conn->errorMessage.data);
        if (drain.valid()) {
            // Whatever was queued still goes out whole, with the Sync that an extended-protocol server waits for.
            pqFlush(conn);
            shutdown(conn->sock, SHUT_WR);
            std::string received = drain.get();
            ASSERT_GE(received.size(), trailer.size());
            EXPECT_EQ(trailer, received.substr(received.size() - trailer.size()));
        }
    }
}

// After a failed COPY the rest of the last block is still queued. The server's ReadyForQuery can arrive while
// PQgetResult flushes that rest, and is then read by the flush: the answer is complete, nothing more will come.
TEST(CopyDataTest, AnAnswerReadWhileFlushingEndsTheStatement) {
    CopyPeer peer(PGASYNC_COPY_IN);
    PGconn* conn = peer.conn();
    peer.Send(ServerError("bad row"));
    const std::string block(4 * 1024 * 1024, 'x');
    ASSERT_EQ(-1, PQputCopyData(conn, block.data(), static_cast<int>(block.size())));
    ASSERT_GT(conn->outCount, 0) << "the socket filled before the whole block went out";
    kelvotest::ResultPtr error(PQgetResult(conn));
    ASSERT_EQ(PGRES_FATAL_ERROR, PQresultStatus(error.get()));
    peer.Send(wire::ReadyForQuery('I'));
    std::future<std::string> drain = Drain(peer.server);
    auto end = std::async(std::launch::async, [conn] { return PQgetResult(conn); });
    if (end.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        shutdown(peer.server, SHUT_RDWR);  // frees the waiting client
        end.wait();
        FAIL() << "PQgetResult waited for an answer it already held";
    }
    EXPECT_EQ(nullptr, end.get());
    EXPECT_EQ(PGASYNC_IDLE, conn->asyncStatus);
    shutdown(conn->sock, SHUT_WR);
    drain.get();
}

// PQgetCopyData over input given in advance.
struct GetCase {
    const char* name;
    int protocol;
    PGAsyncStatusType state;
    std::string input;
    std::vector<int> results;       // return values in order
    std::vector<std::string> rows;  // the data of the positive ones
    PGAsyncStatusType after;
    int unconsumed = 0;  // bytes left in the input buffer
};

TEST(CopyDataTest, ReadsRowsUntilTheEndOfTheCopy) {
    const auto data = [](const std::string& row) { return wire::CopyData(row); };
    const std::string halfRow = data("3\tthree\n").substr(0, 6);
    const std::string error = ServerError("disk full");
    const std::string reports = wire::ParameterStatus("TimeZone", "UTC") + data("c\n") +
                                wire::NotificationResponse(42, "channel", "payload") + wire::CopyDone();
    const int size = static_cast<int>(error.size());
    const PGAsyncStatusType out = PGASYNC_COPY_OUT, busy = PGASYNC_BUSY, both = PGASYNC_COPY_BOTH;
    const GetCase cases[] = {
        {"empty data is skipped", 3, out, data("") + data("x\n") + data("") + wire::CopyDone(), {2, -1}, {"x\n"}, busy},
        {"an error ends the copy, stays for PQgetResult", 3, out, data("a\n") + error, {2, -1}, {"a\n"}, busy, size},
        {"half a row waits", 3, out, data("b\n") + halfRow, {2, 0, 0}, {"b\n"}, out, static_cast<int>(halfRow.size())},
        {"parameter reports and notifications pass", 3, out, reports, {2, -1}, {"c\n"}, busy},
        {"copy both returns to copy in", 3, both, data("d\n") + wire::CopyDone(), {2, -1}, {"d\n"}, PGASYNC_COPY_IN},
        {"protocol 2 lines", 2, out, "1\tone\n2\t\n\\.\nC", {6, 3, -1}, {"1\tone\n", "2\t\n"}, busy, 1},
        {"protocol 2 half line", 2, out, "1\tone\n2\t", {6, 0}, {"1\tone\n"}, out, 2},
        {"protocol 2 end marker inside a line", 2, out, "a\\.\n\\.\n", {4, -1}, {"a\\.\n"}, busy}};
    for (const GetCase& c : cases) {
        SCOPED_TRACE(c.name);
        kelvotest::ConnPtr conn = kelvotest::MakeDetachedRecord();
        conn->pversion = PG_PROTOCOL(c.protocol, 0);
        conn->asyncStatus = c.state;
        kelvotest::FeedInput(conn.get(), c.input);
        size_t row = 0;
        for (int expected : c.results) {
            char* buffer = reinterpret_cast<char*>(1);
            int rc = PQgetCopyData(conn.get(), &buffer, 1);
            ASSERT_EQ(expected, rc);
            if (rc > 0) {
                ASSERT_NE(nullptr, buffer);
                EXPECT_EQ(c.rows.at(row++), std::string(buffer, static_cast<size_t>(rc)));
                EXPECT_EQ('\0', buffer[rc]);
                free(buffer);
            } else {
                EXPECT_EQ(nullptr, buffer);
            }
        }
        EXPECT_EQ(c.rows.size(), row);
        EXPECT_EQ(c.after, conn->asyncStatus);
        EXPECT_EQ(c.unconsumed, conn->inEnd - conn->inStart);
    }
}

TEST(CopyDataTest, BrokenFramingOrALostServerFailsTheRead) {
    // A length below 4, and a parameter report whose value's NUL lies in the next message, which must not be read.
    const std::pair<std::string, const char*> cases[] = {
        {std::string("d\0\0\0\3", 5), "\"d\", length 3"},
        {wire::Message('S', std::string("TimeZone\0UTC", 12)) + wire::CopyData(std::string("x\0", 2)),
         "\"S\", length 16"}};
    for (const auto& [input, text] : cases) {
        SCOPED_TRACE(text);
        kelvotest::ConnPtr conn = kelvotest::MakeDetachedRecord();
        conn->asyncStatus = PGASYNC_COPY_OUT;
        kelvotest::FeedInput(conn.get(), input);
        char* buffer = nullptr;
        EXPECT_EQ(-2, PQgetCopyData(conn.get(), &buffer, 1));
        EXPECT_EQ(nullptr, buffer);
        EXPECT_EQ(std::string("<sqlstate>08P01</sqlstate><primary>lost synchronization with server: got message "
                              "type ") +
                      text + "</primary>\n",
                  conn->errorMessage.data);
        EXPECT_EQ(CONNECTION_BAD, conn->status);
        ASSERT_NE(nullptr, conn->result);
        EXPECT_EQ(PGRES_FATAL_ERROR, conn->result->resultStatus);
        EXPECT_EQ(nullptr, PQparameterStatus(conn.get(), "TimeZone"));
    }
    {
        SCOPED_TRACE("server gone mid-row");
        CopyPeer peer(PGASYNC_COPY_OUT);
        peer.Send(wire::CopyData("lost row").substr(0, 7));
        shutdown(peer.server, SHUT_RDWR);
        char* buffer = nullptr;
        EXPECT_EQ(-2, PQgetCopyData(peer.conn(), &buffer, 0));
        EXPECT_EQ(nullptr, buffer);
        EXPECT_NE(std::string(""), peer.conn()->errorMessage.data);
    }
}

}  // namespace

// Statements against the scripted peer: what goes on the wire and what
// comes back, whole and in chunks; and a failed protocol 2.0 settings
// exchange (the whole exchange and the start-up packet: tests/connect).
#include "postgres/libpq/query_execution.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "parser_helpers.h"
#include "postgres/libpq/protocol2_startup.h"
#include "postgres/libpq/socket_io.h"
#include "support/scripted_peer.h"

namespace {

using namespace kelvotest;
namespace w = kelvotest::wire;

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
         "<sqlstate>08003</sqlstate><primary>There is no connection to the server.</primary>"},
    };
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

// One session: PQexec hands out the last of several results and merges an
// error into the connection's text, and the next PQexec abandons an open
// COPY OUT and ends an open COPY IN with CopyFail; then a statement is read
// without blocking.
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

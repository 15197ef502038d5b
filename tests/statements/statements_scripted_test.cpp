// Statements against the scripted peer, for what PostgreSQL cannot be made
// to do: run COPY BOTH or COPY over protocol 2.0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "postgres/libpq/copy_data.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "support/connected_record.h"
#include "support/scripted_peer.h"

namespace {

using kelvotest::ResultPtr;
using kelvotest::ScriptedPeer;
namespace wire = kelvotest::wire;

TEST(StatementsScriptedTest, CopyBothRunsBothWaysUntilEachSideEnds) {
    ScriptedPeer peer;
    peer.AddConnection()
        .ExpectMessage('Q')
        .Send(wire::Message('W', std::string("\0", 1) + wire::Int16(0)) + wire::CopyData("from server\n"))
        .ExpectMessage('d')
        .ExpectMessage('c')
        .Send(wire::CopyData("last\n") + wire::CopyDone() + wire::CommandComplete("COPY 0") + wire::ReadyForQuery());
    peer.Start();
    kelvotest::ConnPtr conn = kelvotest::MakeConnectedRecord(peer.ConnectUnix());
    ASSERT_EQ(1, PQsendQuery(conn.get(), "START_REPLICATION"));
    ResultPtr start(PQgetResult(conn.get()));
    ASSERT_EQ(PGRES_COPY_BOTH, PQresultStatus(start.get())) << PQresultErrorMessage(start.get());

    ResultPtr refused(PQexec(conn.get(), "SELECT 1"));
    EXPECT_EQ(nullptr, refused);
    EXPECT_STREQ("`PQexec` is not allowed during COPY BOTH.", conn->errorMessage.data);

    char* row = nullptr;
    ASSERT_EQ(12, PQgetCopyData(conn.get(), &row, 0));
    EXPECT_STREQ("from server\n", row);
    free(row);
    ASSERT_EQ(1, PQputCopyData(conn.get(), "to server\n", 10));
    ASSERT_EQ(1, PQputCopyEnd(conn.get(), nullptr));
    EXPECT_EQ(PGASYNC_COPY_OUT, conn->asyncStatus);
    ASSERT_EQ(5, PQgetCopyData(conn.get(), &row, 0));
    free(row);
    EXPECT_EQ(-1, PQgetCopyData(conn.get(), &row, 0));
    ResultPtr done(PQgetResult(conn.get()));
    EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(done.get())) << PQresultErrorMessage(done.get());
    EXPECT_EQ(nullptr, PQgetResult(conn.get()));
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    const auto messages = peer.Messages(0);
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ("to server\n", messages[messages.size() - 2].body);
}

// The lines and the end marker sent: copy_data_test. Here the protocol 2.0
// answers that start a copy each way and end it.
TEST(StatementsScriptedTest, ProtocolTwoCopiesBothWays) {
    ScriptedPeer peer;
    peer.AddConnection()
        .Send(std::string("H") + "1\tone\n\\.\n" + std::string("CCOPY\0", 6) + "Z")
        .Await(1)
        .Send(std::string("G"))
        .Await(2)
        .Send(std::string("CCOPY\0", 6) + "Z");
    peer.Start();
    kelvotest::ConnPtr conn = kelvotest::MakeConnectedRecord(peer.ConnectUnix());
    conn->pversion = PG_PROTOCOL(2, 0);
    for (bool out : {true, false}) {
        SCOPED_TRACE(out ? "out" : "in");
        if (!out)
            peer.Open(1);
        ASSERT_EQ(1, PQsendQuery(conn.get(), out ? "COPY t TO STDOUT" : "COPY t FROM STDIN"));
        ResultPtr start(PQgetResult(conn.get()));
        ASSERT_EQ(out ? PGRES_COPY_OUT : PGRES_COPY_IN, PQresultStatus(start.get()))
            << PQresultErrorMessage(start.get());
        char* line = nullptr;
        if (out) {
            ASSERT_EQ(6, PQgetCopyData(conn.get(), &line, 0));
            free(line);
            EXPECT_EQ(-1, PQgetCopyData(conn.get(), &line, 0));
        } else {
            ASSERT_EQ(1, PQputCopyEnd(conn.get(), nullptr));
            peer.Open(2);
        }
        ResultPtr done(PQgetResult(conn.get()));
        EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(done.get())) << PQresultErrorMessage(done.get());
        EXPECT_EQ(nullptr, PQgetResult(conn.get()));
    }
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
}

}  // namespace

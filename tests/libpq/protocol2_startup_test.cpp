// The protocol 2.0 start-up packet and settings exchange, the latter against
// the scripted peer.
#include "postgres/libpq/protocol2_startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "postgres/libpq/socket_io.h"
#include "support/connected_record.h"
#include "support/scripted_peer.h"

namespace {

using namespace kelvotest;
namespace w = kelvotest::wire;

TEST(Protocol2Startup, PacketFieldsAreFixedWidthAndCut) {
    auto conn = MakeDetachedRecord();
    conn->dbName = strdup(std::string(70, 'd').c_str());
    conn->pguser = strdup("alice");
    conn->pgtty = strdup("tty0");
    int len = 0;
    const std::string options = "-c session_identifier=" + std::string(60, 's');
    char* packet = pqBuildStartupPacket2(conn.get(), &len, options.c_str());
    ASSERT_NE(packet, nullptr);
    ASSERT_EQ(len, 292);
    const std::string bytes(packet, 292);
    free(packet);

    std::string expected = w::Int32(0x20000);
    expected += std::string(64, 'd');
    expected += "alice" + std::string(27, '\0');
    expected += options.substr(0, 64);
    expected += std::string(64, '\0');
    expected += "tty0" + std::string(60, '\0');
    EXPECT_EQ(bytes, expected);
}

// Protocol 2 backend messages.
std::string Complete2(const std::string& tag) { return "C" + w::CStr(tag); }
std::string OneTextRow2(const std::string& column, const std::string& value) {
    return "T" + w::Int16(1) + w::CStr(column) + w::Int32(25) + w::Int16(-1) + w::Int32(-1) + "D" +
           std::string(1, '\x80') + w::Int32(static_cast<int64_t>(value.size()) + 4) + value;
}
std::string Query2(const std::string& sql) { return "Q" + w::CStr(sql); }

TEST(Protocol2Startup, SettingsExchangeRecordsVersionAndEncoding) {
    setenv("PGDATESTYLE", "ISO", 1);
    setenv("PGTZ", "default", 1);
    unsetenv("PGGEQO");

    const std::vector<std::string> queries = {
        "SET client_encoding = 'LATIN1'", "SET datestyle = 'ISO'", "SET timezone = DEFAULT",
        "begin; select version(); end", "select pg_client_encoding()"};
    ScriptedPeer peer;
    auto& script = peer.AddConnection();
    for (int i = 0; i < 3; ++i) script.ExpectBytes(Query2(queries[i]).size()).Send(Complete2("SET") + "Z");
    script.ExpectBytes(Query2(queries[3]).size())
        .Send(Complete2("BEGIN") + OneTextRow2("version", "PostgreSQL 7.4.30 on x86_64-pc-linux-gnu") +
              Complete2("SELECT") + Complete2("COMMIT") + "Z");
    script.ExpectBytes(Query2(queries[4]).size())
        .Send(OneTextRow2("pg_client_encoding", "LATIN1") + Complete2("SELECT") + "Z");
    peer.Start();

    auto conn = MakeConnectedRecord(peer.ConnectUnix());
    conn->pversion = PG_PROTOCOL(2, 0);
    conn->client_encoding_initial = strdup("LATIN1");
    pqSetenvStart(conn.get());
    PostgresPollingStatusType rc;
    while ((rc = pqSetenvPoll(conn.get())) == PGRES_POLLING_READING) ASSERT_EQ(pqWait(1, 0, conn.get()), 0);
    EXPECT_EQ(rc, PGRES_POLLING_OK) << conn->errorMessage.data;
    EXPECT_EQ(conn->sversion, 70430);
    EXPECT_EQ(conn->client_encoding, 8);
    EXPECT_EQ(conn->setenv_state, SETENV_STATE_IDLE);

    conn.reset();
    peer.WaitForClose(0);
    std::string expected;
    for (const std::string& q : queries) expected += Query2(q);
    EXPECT_EQ(peer.Received(0), expected);
    EXPECT_TRUE(peer.Errors().empty());
    unsetenv("PGDATESTYLE");
    unsetenv("PGTZ");
}

TEST(Protocol2Startup, AFailedSetEndsTheExchange) {
    unsetenv("PGDATESTYLE");
    unsetenv("PGTZ");
    unsetenv("PGGEQO");
    ScriptedPeer peer;
    peer.AddConnection()
        .ExpectBytes(Query2("SET client_encoding = DEFAULT").size())
        .Send("E" + w::CStr("ERROR:  nope\n") + "Z");
    peer.Start();
    auto conn = MakeConnectedRecord(peer.ConnectTcp());
    conn->pversion = PG_PROTOCOL(2, 0);
    conn->client_encoding_initial = strdup("Default");
    pqSetenvStart(conn.get());
    PostgresPollingStatusType rc;
    while ((rc = pqSetenvPoll(conn.get())) == PGRES_POLLING_READING) ASSERT_EQ(pqWait(1, 0, conn.get()), 0);
    EXPECT_EQ(rc, PGRES_POLLING_FAILED);
    EXPECT_STREQ(conn->errorMessage.data, "ERROR:  nope\n");
}

}  // namespace

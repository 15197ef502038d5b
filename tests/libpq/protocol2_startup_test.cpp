// The protocol 2.0 start-up packet, and a failed settings exchange against
// the scripted peer (the whole exchange: tests/connect).
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
std::string Query2(const std::string& sql) { return "Q" + w::CStr(sql); }

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
    while ((rc = pqSetenvPoll(conn.get())) == PGRES_POLLING_READING)
        ASSERT_EQ(pqWait(1, 0, conn.get()), 0);
    EXPECT_EQ(rc, PGRES_POLLING_FAILED);
    EXPECT_STREQ(conn->errorMessage.data, "ERROR:  nope\n");
}

}  // namespace

// A failed protocol 2.0 settings exchange against the scripted peer (the
// whole exchange and the start-up packet: tests/connect).
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

// Protocol 2 messages have no length words.
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

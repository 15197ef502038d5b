// The client against a stock PostgreSQL 15 server: chunks, errors, notices
// and parameter reports as a real server sends them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "error/tagged_text.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/socket_io.h"
#include "support/connected_record.h"
#include "support/postgres_cluster.h"
#include "support/test_sockets.h"

namespace {

using namespace kelvotest;

// A record in CONNECTION_OK after a start-up as a trusted role (the test
// side of the start-up: no authentication exchange).
ConnPtr ConnectTrusted() {
    const PostgresCluster& cluster = PostgresCluster::Shared();
    int fd = ConnectUnix(cluster.SocketPath());
    if (fd < 0) throw std::runtime_error("cannot connect to " + cluster.SocketPath());
    ConnPtr conn = MakeConnectedRecord(fd);
    PGconn* c = conn.get();

    // Start-up packet: length, protocol 3.0, name/value pairs, a final NUL.
    if (pqPutMsgStart(0, false, c) || pqPutInt(0x30000, 4, c) || pqPuts("user", c) ||
        pqPuts(PostgresCluster::kTrustUser, c) || pqPuts("database", c) || pqPuts(PostgresCluster::kDatabase, c) ||
        pqPutc('\0', c) || pqPutMsgEnd(c) || pqFlush(c))
        throw std::runtime_error("cannot send the start-up packet");

    for (;;) {
        c->inCursor = c->inStart;
        char id;
        int length;
        if (pqGetc(&id, c) || pqGetInt(&length, 4, c) || c->inEnd - c->inCursor < length - 4) {
            if (pqWait(1, 0, c) != 0 || pqReadData(c) < 0)
                throw std::runtime_error(std::string("start-up failed: ") + c->errorMessage.data);
            continue;
        }
        const int end = c->inCursor + length - 4;
        if (id == 'R') {
            int code;
            pqGetInt(&code, 4, c);
            if (code != 0) throw std::runtime_error("the cluster asked for authentication");
        } else if (id == 'S') {
            pqGets(&c->workBuffer, c);
            const std::string name = c->workBuffer.data;
            pqGets(&c->workBuffer, c);
            pqSaveParameterStatus(c, name.c_str(), c->workBuffer.data);
        } else if (id == 'K') {
            pqGetInt(&c->be_pid, 4, c);
            pqGetInt(&c->be_key, 4, c);
        } else if (id == 'E') {
            throw std::runtime_error("the cluster refused the start-up");
        }
        c->inStart = end;
        if (id == 'Z') break;
    }
    return conn;
}

std::vector<std::string> RunChunked(PGconn* conn, const std::string& sql, uint32_t chunk) {
    std::vector<std::string> out;
    EXPECT_EQ(PQsendQuery(conn, sql.c_str()), 1) << conn->errorMessage.data;
    EXPECT_EQ(PQsetChunkedMode(conn, chunk), 1);
    while (PGresult* res = PQgetResult(conn)) {
        std::string d = std::to_string(PQresultStatus(res)) + ":" + std::to_string(PQntuples(res));
        if (PQcmdStatus(res)[0] != '\0') d += std::string(":") + PQcmdStatus(res);
        if (PQresultStatus(res) == PGRES_FATAL_ERROR) d += std::string(":") + PQresultErrorField(res, 'C');
        out.push_back(d);
        PQclear(res);
    }
    return out;
}

TEST(PostgresPeer, ChunkedResults) {
    auto conn = ConnectTrusted();
    struct Case {
        std::string sql;
        uint32_t chunk;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        // Sizes 256 and 0 and a failing statement: query_postgres_test.
        {"SELECT g FROM generate_series(1, 2) g", 1, {"9:1", "9:1", "2:0:SELECT 2"}},
        // Each statement of a string makes its own results; no template of
        // the one before is handed out again.
        {"SELECT 1; SELECT 2, 3; CREATE TEMP TABLE t(a int)", 256,
         {"2:1:SELECT 1", "2:1:SELECT 1", "1:0:CREATE TABLE"}},
    };
    for (const Case& c : cases) EXPECT_EQ(RunChunked(conn.get(), c.sql, c.chunk), c.expected) << c.sql;
}

TEST(PostgresPeer, BinaryParametersAndResults) {
    auto conn = ConnectTrusted();
    const char* values[] = {"41", nullptr};
    ASSERT_EQ(PQsendQueryParams(conn.get(), "SELECT $1::int4 + 1, $2::text IS NULL", 2, nullptr, values, nullptr,
                                nullptr, 1),
              1);
    PGresult* res = PQgetResult(conn.get());
    ASSERT_EQ(PQresultStatus(res), PGRES_TUPLES_OK) << PQresultErrorMessage(res);
    ASSERT_EQ(PQgetlength(res, 0, 0), 4);
    uint32_t v;
    memcpy(&v, PQgetvalue(res, 0, 0), 4);
    EXPECT_EQ(ntohl(v), 42u);
    EXPECT_EQ(PQgetvalue(res, 0, 1)[0], 1);
    EXPECT_EQ(res->binary, 1);
    EXPECT_EQ(PQresultSize(res), 8 * 128 + 2 * 16 + 5 + 2);
    PQclear(res);
    EXPECT_EQ(PQgetResult(conn.get()), nullptr);
}

TEST(PostgresPeer, ErrorTextsWithPositionAndLocation) {
    auto conn = ConnectTrusted();
    PGresult* res = PQexec(conn.get(), "SELECT * FROM nosuch");
    ASSERT_EQ(PQresultStatus(res), PGRES_FATAL_ERROR);
    const std::string text = PQresultErrorMessage(res);
    const std::string head =
        "<severity>ERROR</severity><sqlstate>42P01</sqlstate><primary>relation \"nosuch\" does not exist</primary>\n"
        "LINE 1: SELECT * FROM nosuch\n"
        "                      ^\n"
        "<location>";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(text.substr(text.size() - 11), "</location>");
    EXPECT_STREQ(conn->last_sqlstate, "42P01");
    PQclear(res);

    // A name that looks like markup comes back as it was.
    const std::string hostile = "a</primary><hint>x</hint>";
    res = PQexec(conn.get(), ("SELECT * FROM \"" + hostile + "\"").c_str());
    EXPECT_EQ(kelvoapi::ReadTagValue(PQresultErrorMessage(res), "primary"),
              "relation \"" + hostile + "\" does not exist");
    EXPECT_EQ(kelvoapi::ReadTagValue(PQresultErrorMessage(res), "hint"), "");
    PQclear(res);
}

TEST(PostgresPeer, NoticesAndContexts) {
    auto conn = ConnectTrusted();
    std::vector<std::string> notices;
    conn->noticeHooks.noticeRec = [](void* arg, const PGresult* res) {
        static_cast<std::vector<std::string>*>(arg)->push_back(PQresultErrorMessage(res));
    };
    conn->noticeHooks.noticeRecArg = &notices;
    PGresult* res = PQexec(conn.get(), "DO $$ BEGIN RAISE NOTICE 'hello <there>'; END $$");
    EXPECT_EQ(PQresultStatus(res), PGRES_COMMAND_OK);
    PQclear(res);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(kelvoapi::ReadTagValue(notices[0], "severity"), "NOTICE");
    EXPECT_EQ(kelvoapi::ReadTagValue(notices[0], "primary"), "hello <there>");
    EXPECT_EQ(notices[0].find("<context>"), std::string::npos);

    res = PQexec(conn.get(), "DO $$ BEGIN RAISE EXCEPTION 'boom'; END $$");
    EXPECT_EQ(kelvoapi::ReadTagValue(PQresultErrorMessage(res), "sqlstate"), "P0001");
    EXPECT_EQ(kelvoapi::ReadTagValue(PQresultErrorMessage(res), "context"),
              "PL/pgSQL function inline_code_block line 1 at RAISE");
    PQclear(res);
}

TEST(PostgresPeer, ParameterReports) {
    auto conn = ConnectTrusted();
    EXPECT_GE(conn->sversion, 150000);
    EXPECT_LT(conn->sversion, 160000);
    EXPECT_EQ(conn->client_encoding, 6);
    EXPECT_TRUE(conn->std_strings);
    PGresult* res = PQexec(conn.get(), "SET client_encoding = 'LATIN1'");
    EXPECT_EQ(PQresultStatus(res), PGRES_COMMAND_OK);
    PQclear(res);
    EXPECT_EQ(conn->client_encoding, 8);
    EXPECT_STREQ(PQparameterStatus(conn.get(), "client_encoding"), "LATIN1");
}

}  // namespace

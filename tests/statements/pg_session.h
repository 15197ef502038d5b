// Sessions on the shared PostgreSQL peer for the statement tests: a
// connection as the superuser over the Unix socket, closed by its owner, and
// small helpers that run SQL and read single values.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "postgres/libpq/connect.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "support/connected_record.h"
#include "support/postgres_cluster.h"

namespace kelvotest {

struct SessionFinish {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Session = std::unique_ptr<PGconn, SessionFinish>;
using Result = ResultPtr;

// A session of the superuser on the shared peer, over its Unix socket.
inline Session OpenSession() {
    const PostgresCluster& cluster = PostgresCluster::Shared();
    const std::string port = cluster.PortText();
    const char* keywords[] = {"host", "port", "user", "dbname", nullptr};
    const char* values[] = {cluster.SocketDir().c_str(), port.c_str(), PostgresCluster::kAdminUser,
                            PostgresCluster::kDatabase, nullptr};
    Session session(PQconnectdbParams(keywords, values, 0));
    EXPECT_NE(nullptr, session);
    if (session) {
        EXPECT_EQ(CONNECTION_OK, PQstatus(session.get())) << PQerrorMessage(session.get());
        // The peer's own notices ("does not exist, skipping") are noise here.
        PQsetNoticeProcessor(session.get(), [](void*, const char*) {}, nullptr);
    }
    return session;
}

// Runs a statement that must succeed and returns its result.
inline Result RunSql(PGconn* conn, const std::string& sql) {
    Result res(PQexec(conn, sql.c_str()));
    EXPECT_NE(nullptr, res) << sql;
    if (res) {
        ExecStatusType status = PQresultStatus(res.get());
        EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            << sql << ": status " << status << " " << PQresultErrorMessage(res.get());
    }
    return res;
}

// The first value of the result of a query.
inline std::string Value(PGconn* conn, const std::string& sql) {
    Result res = RunSql(conn, sql);
    if (!res || PQntuples(res.get()) < 1 || PQnfields(res.get()) < 1) return "<no value>";
    return PQgetvalue(res.get(), 0, 0);
}

// A test that holds one session on the shared peer, opened afresh for each test.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        conn_ = OpenSession();
        ASSERT_NE(nullptr, conn_);
    }
    Session conn_;
};

}  // namespace kelvotest

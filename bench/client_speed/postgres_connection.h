// Both clients' connections to the private PostgreSQL 15 cluster of the wire
// tests (started on first use, reached over its Unix socket as its superuser).
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "libpq_anchor.h"
#include "postgres/libpq/connect.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "support/postgres_cluster.h"

namespace kelvobench {

struct ClusterLogin {
    std::string port;
    const char* keywords[5] = {"host", "port", "user", "dbname", nullptr};
    const char* values[5] = {};

    ClusterLogin() {
        const auto& cluster = kelvotest::PostgresCluster::Shared();
        port = cluster.PortText();
        values[0] = cluster.SocketDir().c_str();
        values[1] = port.c_str();
        values[2] = kelvotest::PostgresCluster::kAdminUser;
        values[3] = kelvotest::PostgresCluster::kDatabase;
    }
};

struct OursDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using OurConnection = std::unique_ptr<PGconn, OursDeleter>;

inline OurConnection ConnectOurs(const ClusterLogin& login) {
    OurConnection conn(PQconnectdbParams(login.keywords, login.values, 0));
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error(PQerrorMessage(conn.get()));
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    return conn;
}

inline void ExecOurs(PGconn* conn, const char* sql) {
    PGresult* res = PQexec(conn, sql);
    const ExecStatusType status = PQresultStatus(res);
    const std::string text = PQresultErrorMessage(res);
    PQclear(res);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error(text);
}

}  // namespace kelvobench

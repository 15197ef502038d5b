// The PostgreSQL 15 anchor's connection: the private cluster the wire tests
// start, reached through libpq, and a check of its answers.
#pragma once

#include <libpq-fe.h>

#include <string>

#include "side_by_side.h"
#include "support/postgres_cluster.h"

namespace sidebyside {

inline void PgCheck(PGresult* r, ExecStatusType want, const std::string& what) {
    if (PQresultStatus(r) != want)
        Fail(what + ": " + PQresultErrorMessage(r));
    PQclear(r);
}

// A connection to the shared cluster's test database, as its superuser.
inline PGconn* ConnectToPostgres() {
    kelvotest::ScrubPgEnvironment();
    const auto& cluster = kelvotest::PostgresCluster::Shared();
    const std::string conninfo = "host=" + cluster.SocketDir() + " port=" + cluster.PortText() +
                                 " user=" + kelvotest::PostgresCluster::kAdminUser +
                                 " dbname=" + kelvotest::PostgresCluster::kDatabase;
    PGconn* pg = PQconnectdb(conninfo.c_str());
    if (PQstatus(pg) != CONNECTION_OK)
        Fail(PQerrorMessage(pg));
    PgCheck(PQexec(pg, "SET client_min_messages = warning"), PGRES_COMMAND_OK, "SET");
    return pg;
}

}  // namespace sidebyside

// Connection set-up time per authentication method against the PostgreSQL
// peer, over the Unix socket and over TCP: start-up packet, authentication
// exchange, ReadyForQuery and Terminate.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "postgres/libpq/connect.h"
#include "support/postgres_cluster.h"

namespace {

using kelvotest::PostgresCluster;

void Connect(benchmark::State& state, const char* user, const char* password, bool tcp) {
    kelvotest::ScrubPgEnvironment();
    setenv("PGPASSFILE", "/nonexistent/pgpass", 1);
    const PostgresCluster& cluster = PostgresCluster::Shared();
    const std::string host = tcp ? PostgresCluster::kTcpHost : cluster.SocketDir();
    const std::string port = cluster.PortText();
    const char* keywords[] = {"host", "port", "user", "password", "dbname", nullptr};
    const char* values[] = {host.c_str(), port.c_str(), user, password, PostgresCluster::kDatabase, nullptr};
    for (auto _ : state) {
        PGconn* conn = PQconnectdbParams(keywords, values, 0);
        if (PQstatus(conn) != CONNECTION_OK) {
            state.SkipWithError(PQerrorMessage(conn));
            PQfinish(conn);
            break;
        }
        PQfinish(conn);
    }
}

void Register() {
    using C = PostgresCluster;
    const struct {
        const char* name;
        const char* user;
        const char* password;
    } methods[] = {{"trust", C::kTrustUser, ""},
                   {"md5", C::kMd5User, C::kMd5UserPassword},
                   {"scram-sha-256", C::kScramUser, C::kScramUserPassword}};
    for (const auto& method : methods) {
        for (bool tcp : {false, true}) {
            std::string name = std::string("Connect/") + method.name + (tcp ? "/tcp" : "/socket");
            benchmark::RegisterBenchmark(name.c_str(), Connect, method.user, method.password, tcp)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

const int registered = (Register(), 0);

}  // namespace

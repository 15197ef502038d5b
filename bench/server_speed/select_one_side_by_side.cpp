// `SELECT 1` round trips: kelvo_execute_query and its one chunk read through
// the library from the server, against PQexec on a private PostgreSQL 15. Each
// round runs N statements on each side, in turn; the program prints every
// round's median and 99th percentile, their medians, and the ratio.
//
//   select_one_side_by_side [statements=20000] [rounds=5]
#include <chrono>
#include <cstdio>

#include "speed_server.h"

namespace {

using serverspeed::Check;
using serverspeed::Fail;

double Micros(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - since).count();
}

void SelectOneThroughLibrary(kelvo_connection_t* conn) {
    kelvo_rowset_t* rowset = nullptr;
    Check(kelvo_execute_query(conn, "SELECT 1", &rowset), "query");
    serverspeed::ReadOneRow(rowset, "SELECT 1");
}

void SelectOneThroughPostgres(PGconn* pg) {
    PGresult* r = PQexec(pg, "SELECT 1");
    if (PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) != 1 || PQgetvalue(r, 0, 0)[0] != '1')
        Fail(std::string("SELECT 1: ") + PQresultErrorMessage(r));
    PQclear(r);
}

template <typename F>
std::vector<double> Latencies(long statements, F&& f) {
    std::vector<double> us;
    us.reserve(static_cast<size_t>(statements));
    for (long i = 0; i < statements; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        us.push_back(Micros(start));
    }
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    const long statements = sidebyside::ArgOr(argc, argv, 1, 20'000);
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 5));
    serverspeed::Server server;
    kelvo_connection_t* conn = server.Connect();
    PGconn* pg = serverspeed::ConnectToPostgres();
    const pid_t serverPid = sidebyside::ServerPid();

    std::vector<double> oursMedian, oursP99, theirsMedian, theirsP99, serverCpu;
    for (int round = 0; round < rounds; ++round) {
        const double cpu0 = sidebyside::CpuSeconds(serverPid);
        auto ours = Latencies(statements, [&] { SelectOneThroughLibrary(conn); });
        serverCpu.push_back((sidebyside::CpuSeconds(serverPid) - cpu0) / static_cast<double>(statements) * 1e6);
        auto theirs = Latencies(statements, [&] { SelectOneThroughPostgres(pg); });
        oursMedian.push_back(serverspeed::Percentile(ours, 0.5));
        oursP99.push_back(serverspeed::Percentile(ours, 0.99));
        theirsMedian.push_back(serverspeed::Percentile(theirs, 0.5));
        theirsP99.push_back(serverspeed::Percentile(theirs, 0.99));
        std::printf(
            "round %d: library median %.1f us p99 %.1f us (server CPU %.1f us a statement); "
            "PQexec median %.1f us p99 %.1f us\n",
            round + 1, oursMedian.back(), oursP99.back(), serverCpu.back(), theirsMedian.back(), theirsP99.back());
        std::fflush(stdout);
    }
    const double ours = sidebyside::Median(oursMedian), theirs = sidebyside::Median(theirsMedian);
    std::printf("\nSELECT 1, %ld statements a round, medians of %d rounds\n", statements, rounds);
    std::printf("kelvo_execute_query median %.1f us, p99 %.1f us, server CPU %.1f us a statement\n", ours,
                sidebyside::Median(oursP99), sidebyside::Median(serverCpu));
    std::printf("PQexec (PostgreSQL 15)   median %.1f us, p99 %.1f us\n", theirs, sidebyside::Median(theirsP99));
    std::printf("ratio (ours / PostgreSQL's median) %.2fx\n", ours / theirs);
    PQfinish(pg);
    return 0;
}

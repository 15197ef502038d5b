// Many prepared statements: N kelvo_prepare calls (each its own name and
// text), then one kelvo_execute_prepared of each, its row read, on a fresh
// connection to the server; against PQprepare and PQexecPrepared on a private
// PostgreSQL 15. Also each side's server process resident memory after the
// executes (the PostgreSQL backend of the connection; kelvod as a whole).
//
//   prepared_side_by_side [statements=100000] [rounds=3]
#include <cstdio>

#include "speed_server.h"

namespace {

using serverspeed::Check;
using serverspeed::Fail;

std::string Text(long i) { return "SELECT " + std::to_string(i) + " AS n, 'v' AS t"; }

}  // namespace

int main(int argc, char** argv) {
    const long statements = sidebyside::ArgOr(argc, argv, 1, 100'000);
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 3));
    serverspeed::Server server;
    server.Connect();  // creates the database
    const pid_t serverPid = sidebyside::ServerPid();

    std::vector<double> prepares, executes, pgPrepares, pgExecutes, rss, pgRss;
    for (int round = 0; round < rounds; ++round) {
        kelvo_connection_t* conn = server.Connect();
        prepares.push_back(sidebyside::Seconds([&] {
            for (long i = 0; i < statements; ++i)
                Check(kelvo_prepare(conn, ("s" + std::to_string(i)).c_str(), Text(i).c_str()), "prepare");
        }));
        executes.push_back(sidebyside::Seconds([&] {
            for (long i = 0; i < statements; ++i) {
                kelvo_rowset_t* rowset = nullptr;
                Check(kelvo_execute_prepared(conn, ("s" + std::to_string(i)).c_str(), KELVO_ROWSET_RESULT_FORMAT_TEXT,
                                             &rowset),
                      "execute");
                serverspeed::ReadOneRow(rowset, "an execute");
            }
        }));
        rss.push_back(static_cast<double>(sidebyside::MemoryKiB(serverPid, "VmRSS:")) / 1024);
        server.Disconnect(conn);

        PGconn* pg = serverspeed::ConnectToPostgres();
        pgPrepares.push_back(sidebyside::Seconds([&] {
            for (long i = 0; i < statements; ++i)
                serverspeed::PgCheck(PQprepare(pg, ("s" + std::to_string(i)).c_str(), Text(i).c_str(), 0, nullptr),
                                     PGRES_COMMAND_OK, "PQprepare");
        }));
        pgExecutes.push_back(sidebyside::Seconds([&] {
            for (long i = 0; i < statements; ++i)
                serverspeed::PgCheck(
                    PQexecPrepared(pg, ("s" + std::to_string(i)).c_str(), 0, nullptr, nullptr, nullptr, 0),
                    PGRES_TUPLES_OK, "PQexecPrepared");
        }));
        pgRss.push_back(static_cast<double>(sidebyside::MemoryKiB(PQbackendPID(pg), "VmRSS:")) / 1024);
        PQfinish(pg);
        std::printf(
            "round %d: library prepares %.2f s, executes %.2f s, kelvod RSS %.0f MiB; "
            "PostgreSQL prepares %.2f s, executes %.2f s, backend RSS %.0f MiB\n",
            round + 1, prepares.back(), executes.back(), rss.back(), pgPrepares.back(), pgExecutes.back(),
            pgRss.back());
        std::fflush(stdout);
    }
    using sidebyside::Median;
    std::printf("\n%ld prepared statements, medians of %d rounds\n", statements, rounds);
    std::printf("prepares: library %.2f s, PostgreSQL 15 %.2f s, ratio %.2fx\n", Median(prepares), Median(pgPrepares),
                Median(prepares) / Median(pgPrepares));
    std::printf("executes: library %.2f s, PostgreSQL 15 %.2f s, ratio %.2fx\n", Median(executes), Median(pgExecutes),
                Median(executes) / Median(pgExecutes));
    std::printf("server memory: kelvod %.0f MiB, PostgreSQL backend %.0f MiB\n", Median(rss), Median(pgRss));
    return 0;
}

// Concurrent loads: L clients at once, each loading R rows of the 10-column
// mixed table through an inserter buffer into a table of its own in one
// database of one server; against L libpq clients at once, each sending the
// same rows by COPY ... (FORMAT binary) into a table of its own in the
// private PostgreSQL 15 cluster. Total rows/s of each side, their ratio, and
// the server's memory: idle before the loads (VmRSS) and its peak during them
// (VmHWM, reset through clear_refs). A second server, on which the user first
// ran SET GLOBAL memory_limit = '<limit>', takes the same loads in the same
// rounds.
//
//   concurrent_loads_side_by_side [rows per load=2000000] [loads=8] [rounds=3] [limit=512MB]
#include <libpq-fe.h>

#include <functional>
#include <thread>

#include "inserter_load.h"
#include "postgres_copy.h"
#include "side_by_side.h"
#include "support/mixed_table.h"

namespace {

using sidebyside::PgCheck;

std::string TableName(int load) { return "mixed_" + std::to_string(load); }

// The mixed table's CREATE TABLE for `table`.
std::string CreateTable(const std::string& table) {
    std::string sql = kelvobench::kMixedTable;
    return sql.replace(sql.find("mixed"), 5, table);
}

// Wall time from the start of `loads` threads running load(i) to the end of the last.
double RunAtOnce(int loads, const std::function<void(int)>& load) {
    return sidebyside::Seconds([&] {
        std::vector<std::thread> threads;
        for (int i = 0; i < loads; ++i)
            threads.emplace_back(load, i);
        for (auto& t : threads)
            t.join();
    });
}

// One server and its clients' connections, opened before the rounds.
struct ServerSide {
    const char* name;
    sidebyside::LibraryServer server;
    std::vector<kelvo_connection_t*> connections;
    std::vector<double> seconds, peakMiB, idleMiB;

    ServerSide(const char* n, int loads, const char* setting) : name(n) {
        if (setting != nullptr)
            server.Execute(setting);
        for (int i = 0; i < loads; ++i)
            connections.push_back(server.Connect());
    }
    ~ServerSide() {
        for (auto* c : connections)
            kelvo_disconnect(c);
    }
    ServerSide(const ServerSide&) = delete;
    ServerSide& operator=(const ServerSide&) = delete;

    void Round(int64_t rows) {
        const int loads = static_cast<int>(connections.size());
        for (int i = 0; i < loads; ++i) {
            server.Execute("DROP TABLE IF EXISTS " + TableName(i));
            server.Execute(CreateTable(TableName(i)));
        }
        idleMiB.push_back(static_cast<double>(sidebyside::MemoryKiB(server.Pid(), "VmRSS:")) / 1024);
        sidebyside::ResetPeakMemory(server.Pid());
        seconds.push_back(RunAtOnce(loads, [&](int i) {
            sidebyside::LoadThroughLibrary(connections[static_cast<size_t>(i)], rows, TableName(i));
        }));
        peakMiB.push_back(static_cast<double>(sidebyside::MemoryKiB(server.Pid(), "VmHWM:")) / 1024);
        // The tables go at once, so that the next contender has the disk and the page cache to itself.
        for (int i = 0; i < loads; ++i)
            server.Execute("DROP TABLE " + TableName(i));
        server.Execute("CHECKPOINT");
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::ArgOr(argc, argv, 1, 2'000'000);
    const int loads = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 8));
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 3, 3));
    const double total = static_cast<double>(rows) * loads;

    const std::string limit = argc > 4 ? argv[4] : "512MB";
    const std::string limitedName = "kelvod, memory_limit " + limit;
    const std::string setLimit = "SET GLOBAL memory_limit = '" + limit + "'";

    ServerSide plain("kelvod", loads, nullptr);
    ServerSide limited(limitedName.c_str(), loads, setLimit.c_str());
    std::vector<PGconn*> pg;
    for (int i = 0; i < loads; ++i)
        pg.push_back(sidebyside::ConnectToPostgres());
    std::vector<double> postgres;

    for (int round = 0; round < rounds; ++round) {
        plain.Round(rows);
        limited.Round(rows);
        for (int i = 0; i < loads; ++i) {
            PgCheck(PQexec(pg[0], ("DROP TABLE IF EXISTS " + TableName(i)).c_str()), PGRES_COMMAND_OK, "DROP");
            PgCheck(PQexec(pg[0], CreateTable(TableName(i)).c_str()), PGRES_COMMAND_OK, "CREATE");
        }
        postgres.push_back(RunAtOnce(loads, [&](int i) {
            sidebyside::LoadThroughPostgresCopy(pg[static_cast<size_t>(i)], rows, TableName(i));
        }));
        for (int i = 0; i < loads; ++i)
            PgCheck(PQexec(pg[0], ("DROP TABLE " + TableName(i)).c_str()), PGRES_COMMAND_OK, "DROP");
        std::printf(
            "round %d: %s %.3f s (peak %.0f MiB, idle %.0f MiB); %s %.3f s (peak %.0f MiB, idle %.0f MiB); "
            "PostgreSQL COPY BINARY %.3f s\n",
            round + 1, plain.name, plain.seconds.back(), plain.peakMiB.back(), plain.idleMiB.back(), limited.name,
            limited.seconds.back(), limited.peakMiB.back(), limited.idleMiB.back(), postgres.back());
        std::fflush(stdout);
    }
    for (auto* c : pg)
        PQfinish(c);

    const double anchor = sidebyside::Median(postgres);
    std::printf("\n%d concurrent loads of %lld rows x 10 columns, median of %d rounds\n", loads,
                static_cast<long long>(rows), rounds);
    std::printf("%-28s %8.3f s  %6.2f M rows/s\n", "PostgreSQL 15 COPY BINARY", anchor, total / anchor / 1e6);
    for (const ServerSide* side : {&plain, &limited}) {
        const double t = sidebyside::Median(side->seconds);
        std::printf("%-28s %8.3f s  %6.2f M rows/s  ratio to PostgreSQL %.2fx  server peak %.0f MiB (idle %.0f MiB)\n",
                    side->name, t, total / t / 1e6, anchor / t, sidebyside::Median(side->peakMiB),
                    sidebyside::Median(side->idleMiB));
    }
    return 0;
}

// COPY FROM STDIN of N text rows (default 2 M, three columns, one
// PQputCopyData per row) into an unlogged PostgreSQL 15 table: the
// wire-protocol client against the system's libpq, client CPU.
// Usage: postgres_copy_bench [rows] [rounds]
#include <cstdio>
#include <string>
#include <vector>

#include "postgres/libpq/copy_data.h"
#include "postgres_connection.h"
#include "side_by_side.h"

int main(int argc, char** argv) try {
    using namespace kelvobench;
    const long rows = ArgOr(argc, argv, 1, 2000000);
    const int rounds = static_cast<int>(ArgOr(argc, argv, 2, 5));
    std::string data;
    std::vector<size_t> offsets{0};
    for (long i = 1; i <= rows; ++i) {
        data += std::to_string(i) + "\tvalue number " + std::to_string(i) + "\t" + std::to_string(i * 1.5) + "\n";
        offsets.push_back(data.size());
    }
    const char* const copySql = "COPY bench_copy FROM STDIN";

    ClusterLogin login;
    LibpqConnection anchor(login.keywords, login.values);
    OurConnection ours = ConnectOurs(login);
    ExecOurs(ours.get(), "DROP TABLE IF EXISTS bench_copy");
    ExecOurs(ours.get(), "CREATE UNLOGGED TABLE bench_copy (a bigint, b text, c float8)");
    // The table is emptied outside the measured run; the server's truncation
    // costs the client nothing but would add noise to the wall time.
    auto truncate = [&] { ExecOurs(ours.get(), "TRUNCATE bench_copy"); };
    std::vector<Contender> contenders{
        {"libpq COPY IN",
         [&] {
             anchor.CopyIn(copySql, data.data(), offsets.data(), static_cast<size_t>(rows));
             truncate();
         },
         {}},
        {"kelvo wire client COPY IN",
         [&] {
             PGresult* start = PQexec(ours.get(), copySql);
             if (PQresultStatus(start) != PGRES_COPY_IN)
                 throw std::runtime_error(PQresultErrorMessage(start));
             PQclear(start);
             for (long i = 0; i < rows; ++i) {
                 if (PQputCopyData(ours.get(), data.data() + offsets[i],
                                   static_cast<int>(offsets[i + 1] - offsets[i])) != 1)
                     throw std::runtime_error(PQerrorMessage(ours.get()));
             }
             if (PQputCopyEnd(ours.get(), nullptr) != 1)
                 throw std::runtime_error(PQerrorMessage(ours.get()));
             while (PGresult* res = PQgetResult(ours.get())) {
                 const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
                 const std::string text = PQresultErrorMessage(res);
                 PQclear(res);
                 if (!ok)
                     throw std::runtime_error(text);
             }
             truncate();
         },
         {}},
    };
    RunSideBySide(("COPY IN of " + std::to_string(rows) + " text rows to PostgreSQL 15").c_str(), contenders, rounds);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "postgres_copy_bench: %s\n", e.what());
    return 1;
}

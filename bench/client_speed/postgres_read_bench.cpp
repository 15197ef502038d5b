// Reading one whole result of N rows x 3 columns (default 2 M) from
// PostgreSQL 15 with PQexec: the wire-protocol client against the system's
// libpq, client CPU. Usage: postgres_read_bench [rows] [rounds]
#include <cstdio>
#include <string>

#include "postgres_connection.h"
#include "side_by_side.h"

int main(int argc, char** argv) try {
    using namespace kelvobench;
    const long rows = ArgOr(argc, argv, 1, 2000000);
    const int rounds = static_cast<int>(ArgOr(argc, argv, 2, 5));
    const std::string sql = "SELECT g, g::text, g*1.5 FROM generate_series(1, " + std::to_string(rows) + ") g";

    ClusterLogin login;
    LibpqConnection anchor(login.keywords, login.values);
    OurConnection ours = ConnectOurs(login);
    std::vector<Contender> contenders{
        {"libpq PQexec", [&] { anchor.ReadWhole(sql.c_str()); }, {}},
        {"kelvo wire client PQexec",
         [&] {
             PGresult* res = PQexec(ours.get(), sql.c_str());
             if (PQresultStatus(res) != PGRES_TUPLES_OK || PQntuples(res) != rows)
                 throw std::runtime_error(PQresultErrorMessage(res));
             PQclear(res);
         },
         {}},
    };
    RunSideBySide(("whole result of " + std::to_string(rows) + " rows x 3 columns from PostgreSQL 15").c_str(),
                  contenders, rounds);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "postgres_read_bench: %s\n", e.what());
    return 1;
}

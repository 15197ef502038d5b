// Reading one whole result of N rows x 3 columns (default 2 M) from
// PostgreSQL 15 with PQexec: the wire-protocol client against the system's
// libpq, client CPU. Usage: postgres_read_bench [rows] [rounds] [only: libpq|ours]
// (`only` runs that one contender and prints its page faults, for perf.)
#include <sys/resource.h>

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
    if (argc > 3) {
        Contender& c = contenders[std::string(argv[3]) == "libpq" ? 0 : 1];
        c.run();
        rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        for (int round = 0; round < rounds; ++round)
            c.samples.push_back(Measure(c.run));
        getrusage(RUSAGE_SELF, &after);
        std::printf("%s, a round: cpu %.1f ms, page faults %.0f\n", c.name.c_str(), MedianOf(c, false) * 1e3,
                    static_cast<double>(after.ru_minflt - before.ru_minflt) / rounds);
        return 0;
    }
    RunSideBySide(("whole result of " + std::to_string(rows) + " rows x 3 columns from PostgreSQL 15").c_str(),
                  contenders, rounds);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "postgres_read_bench: %s\n", e.what());
    return 1;
}

// Statement road: pgbench select-only (8 clients, 8 threads) against the
// server through the simple, the extended and the prepared protocol, the
// modes run in turn in each round; the anchor is the simple protocol's tps.
// The schema pgbench expects (scale 1) is made through the server's SQL.
//
//   protocols_side_by_side [seconds per run=10] [rounds=5] [pgbench=/usr/lib/postgresql/15/bin/pgbench]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "side_by_side.h"
#include "support/postgres_cluster.h"
#include "support/wire_client.h"

namespace {

using sidebyside::Fail;

const char* const kSchema[] = {
    "CREATE TABLE pgbench_branches (bid INT NOT NULL PRIMARY KEY, bbalance INT, filler CHAR(88))",
    "CREATE TABLE pgbench_tellers (tid INT NOT NULL PRIMARY KEY, bid INT, tbalance INT, filler CHAR(84))",
    "CREATE TABLE pgbench_accounts (aid INT NOT NULL PRIMARY KEY, bid INT, abalance INT, filler CHAR(84))",
    "CREATE TABLE pgbench_history (tid INT, bid INT, aid INT, delta INT, mtime TIMESTAMP, filler CHAR(22))",
    "INSERT INTO pgbench_branches SELECT i, 0, '' FROM range(1, 2) t(i)",
    "INSERT INTO pgbench_tellers SELECT i, (i - 1) // 10 + 1, 0, '' FROM range(1, 11) t(i)",
    "INSERT INTO pgbench_accounts SELECT i, (i - 1) // 100000 + 1, 0, '' FROM range(1, 100001) t(i)",
};

// "pel.domain://<dir>/domain/.s.PGSQL.N": the socket directory and port N.
std::pair<std::string, std::string> SocketDirAndPort(const std::string& endpoint) {
    const std::string marker = "/domain/.s.PGSQL.";
    const size_t at = endpoint.rfind(marker);
    const size_t scheme = endpoint.find("://");
    if (at == std::string::npos || scheme == std::string::npos)
        Fail("unexpected endpoint " + endpoint);
    return {endpoint.substr(scheme + 3, at - scheme - 3), endpoint.substr(at + marker.size())};
}

struct Run {
    double tps;
    long transactions;
};

Run RunPgbench(const std::string& pgbench, const std::string& mode, const std::string& dir, const std::string& port,
               long seconds) {
    const std::string command = pgbench + " -n -S -M " + mode + " -c 8 -j 8 -T " + std::to_string(seconds) + " -h '" +
                                dir + "' -p " + port + " -U kelvo ':main' 2>&1";
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr)
        Fail("cannot run " + command);
    std::string text;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, out))
        text.append(buf, n);
    const int status = ::pclose(out);
    const size_t tps = text.find("tps = ");
    if (status != 0 || tps == std::string::npos)
        Fail(command + "\n" + text);
    const size_t failed = text.find("number of failed transactions: ");
    if (failed != std::string::npos && std::atol(text.c_str() + failed + 31) != 0)
        Fail(command + "\n" + text);
    const size_t processed = text.find("actually processed: ");
    if (processed == std::string::npos)
        Fail(command + "\n" + text);
    return {std::atof(text.c_str() + tps + 6), std::atol(text.c_str() + processed + 20)};
}

}  // namespace

int main(int argc, char** argv) {
    const long seconds = sidebyside::ArgOr(argc, argv, 1, 10);
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 5));
    const std::string pgbench = argc > 3 ? argv[3] : "/usr/lib/postgresql/15/bin/pgbench";
    kelvotest::ScrubPgEnvironment();

    kelvotest::KelvodServer server;
    if (!server.Start())
        Fail("the server did not start");
    {
        kelvotest::WireClient c;
        c.Open(server.Endpoint(), ":main");
        for (const char* sql : kSchema) {
            kelvotest::WireResult r = c.Query(sql);
            if (!r.Ok())
                Fail(std::string(sql) + ": " + r.Sqlstate() + " " + r.errors[0].message);
        }
    }
    const auto [dir, port] = SocketDirAndPort(server.Endpoint());

    const char* const modes[] = {"simple", "extended", "prepared"};
    std::map<std::string, std::vector<double>> tps, cpu;
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d:", round + 1);
        for (const char* mode : modes) {
            const double cpu0 = sidebyside::CpuSeconds(server.Pid());
            const Run run = RunPgbench(pgbench, mode, dir, port, seconds);
            tps[mode].push_back(run.tps);
            cpu[mode].push_back((sidebyside::CpuSeconds(server.Pid()) - cpu0) * 1e6 /
                                static_cast<double>(std::max(run.transactions, 1L)));
            std::printf(" %s %.0f tps (%.0f us)", mode, tps[mode].back(), cpu[mode].back());
            std::fflush(stdout);
        }
        std::printf("\n");
    }
    const double simple = sidebyside::Median(tps["simple"]);
    const double simpleCpu = sidebyside::Median(cpu["simple"]);
    std::printf(
        "\npgbench select-only, 8 clients, %ld s a run, median of %d rounds (ratio = tps / simple tps;\n"
        "server CPU per transaction, and simple's over it: steadier than tps on a shared host)\n",
        seconds, rounds);
    for (const char* mode : modes)
        std::printf("%-9s %9.0f tps  %.2fx simple   server CPU %5.0f us a transaction  %.2fx simple\n", mode,
                    sidebyside::Median(tps[mode]), sidebyside::Median(tps[mode]) / simple,
                    sidebyside::Median(cpu[mode]), simpleCpu / sidebyside::Median(cpu[mode]));
    return 0;
}

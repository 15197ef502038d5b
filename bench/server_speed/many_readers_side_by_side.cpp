// Many readers of one server: C clients, each on its own connection and
// thread, read N rows of (BIGINT, DOUBLE, VARCHAR) at once; the total
// throughput against one client reading the same N rows alone.
//
//   many_readers_side_by_side [rows=5000000] [clients=8] [rounds=5]
#include <thread>

#include "library_read.h"
#include "speed_server.h"

using serverspeed::Check;

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::ArgOr(argc, argv, 1, 5'000'000);
    const int clients = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 8));
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 3, 5));
    serverspeed::Server server;
    std::vector<kelvo_connection_t*> conns;
    for (int i = 0; i < clients; ++i)
        conns.push_back(server.Connect());
    Check(kelvo_execute_command(conns[0], sidebyside::kReadTable, nullptr), "create");
    Check(kelvo_execute_command(conns[0], sidebyside::FillReadTable(rows).c_str(), nullptr), "fill");

    std::vector<double> one, many;
    for (int round = 0; round < rounds; ++round) {
        one.push_back(sidebyside::Seconds([&] { sidebyside::ReadThroughLibrary(conns[0], rows); }));
        many.push_back(sidebyside::Seconds([&] {
            std::vector<std::thread> threads;
            for (auto* c : conns)
                threads.emplace_back([c, rows] { sidebyside::ReadThroughLibrary(c, rows); });
            for (auto& t : threads)
                t.join();
        }));
        std::printf("round %d: one client %.3f s, %d clients %.3f s, throughput x%.2f\n", round + 1, one.back(),
                    clients, many.back(), clients * one.back() / many.back());
        std::fflush(stdout);
    }
    const double t1 = sidebyside::Median(one), tn = sidebyside::Median(many);
    std::printf(
        "\n%d clients x %lld rows, medians of %d rounds: one client %.3f s (%.2f M rows/s), all %.3f s "
        "(%.2f M rows/s), throughput x%.2f of one client\n",
        clients, static_cast<long long>(rows), rounds, t1, static_cast<double>(rows) / t1 / 1e6, tn,
        static_cast<double>(rows) * clients / tn / 1e6, clients * t1 / tn);
    return 0;
}

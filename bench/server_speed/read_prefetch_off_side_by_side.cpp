// Read road with the library's prefetching off: N rows of (BIGINT, DOUBLE,
// VARCHAR) through the library from the server, against the same table read
// in this process through the engine's streaming scan by one consumer.
//
//   read_prefetch_off_side_by_side [rows=20000000] [rounds=5]
#include "engine_database.h"
#include "engine_scan.h"
#include "library_read.h"
#include "speed_server.h"

namespace {

using serverspeed::Check;
using serverspeed::Fail;

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::ArgOr(argc, argv, 1, 20'000'000);
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 5));
    serverspeed::Server server;
    kelvo_connection_t* conn = server.Connect();
    kelvo_set_prefetch_threshold(conn, 0);
    Check(kelvo_execute_command(conn, sidebyside::kReadTable, nullptr), "create");
    Check(kelvo_execute_command(conn, sidebyside::FillReadTable(rows).c_str(), nullptr), "fill");
    sidebyside::EngineDatabase engine(server.Directory() + "/anchor.duckdb");
    engine.Execute(sidebyside::kReadTable);
    engine.Execute(sidebyside::FillReadTable(rows));

    const pid_t serverPid = sidebyside::ServerPid();
    std::vector<double> ours, scan, serverCpu;
    uint64_t sink = 0;
    for (int round = 0; round < rounds; ++round) {
        const double server0 = sidebyside::CpuSeconds(serverPid);
        ours.push_back(sidebyside::Seconds([&] { sink += sidebyside::ReadThroughLibrary(conn, rows); }));
        serverCpu.push_back(sidebyside::CpuSeconds(serverPid) - server0);
        scan.push_back(sidebyside::Seconds([&] { sink += sidebyside::StreamingScan(engine.Connection(), rows); }));
        std::printf("round %d: library, prefetch off %.3f s (server CPU %.2f s), streaming scan %.3f s\n", round + 1,
                    ours.back(), serverCpu.back(), scan.back());
        std::fflush(stdout);
    }
    const double t = sidebyside::Median(ours);
    std::printf("\nread %lld rows x (BIGINT, DOUBLE, VARCHAR), median of %d rounds (checksum %llu)\n",
                static_cast<long long>(rows), rounds, static_cast<unsigned long long>(sink % 1000));
    sidebyside::PrintRatio("library, prefetch off <- kelvod", "engine streaming scan", t, sidebyside::Median(scan));
    std::printf("library rows/s %.2f M, server CPU %.2f s\n", static_cast<double>(rows) / t / 1e6,
                sidebyside::Median(serverCpu));
    return 0;
}

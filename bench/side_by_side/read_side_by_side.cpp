// Read road: N rows of (BIGINT, DOUBLE, VARCHAR) read chunk by chunk through
// the library from the server (binary results), against the same table read
// in this process through the engine's streaming scan, one vector at a time.
// Both touch every value.
//
//   read_side_by_side [rows=20000000] [rounds=5]
#include "engine_database.h"
#include "engine_scan.h"
#include "library_read.h"

namespace {

using sidebyside::Check;
using sidebyside::Fail;

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::ArgOr(argc, argv, 1, 20'000'000);
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 5));
    const char* const table = sidebyside::kReadTable;

    sidebyside::LibraryServer server;
    server.Execute(table);
    server.Execute(sidebyside::FillReadTable(rows));
    sidebyside::EngineDatabase engine(server.Directory() + "/anchor.duckdb");
    engine.Execute(table);
    engine.Execute(sidebyside::FillReadTable(rows));

    const pid_t serverPid = sidebyside::ServerPid();
    std::vector<double> ours, scan, serverCpu, clientCpu;
    uint64_t sink = 0;
    for (int round = 0; round < rounds; ++round) {
        const double server0 = sidebyside::CpuSeconds(serverPid), client0 = sidebyside::CpuSeconds(::getpid());
        ours.push_back(sidebyside::Seconds([&] { sink += sidebyside::ReadThroughLibrary(server.Connection(), rows); }));
        serverCpu.push_back(sidebyside::CpuSeconds(serverPid) - server0);
        clientCpu.push_back(sidebyside::CpuSeconds(::getpid()) - client0);
        scan.push_back(sidebyside::Seconds([&] { sink += sidebyside::StreamingScan(engine.Connection(), rows); }));
        std::printf("round %d: library %.3f s (server CPU %.2f s, client CPU %.2f s), streaming scan %.3f s\n",
                    round + 1, ours.back(), serverCpu.back(), clientCpu.back(), scan.back());
        std::fflush(stdout);
    }
    const double t = sidebyside::Median(ours);
    std::printf("\nread %lld rows x (BIGINT, DOUBLE, VARCHAR), median of %d rounds (checksum %llu)\n",
                static_cast<long long>(rows), rounds, static_cast<unsigned long long>(sink % 1000));
    sidebyside::PrintRatio("library chunks <- kelvod", "engine streaming scan", t, sidebyside::Median(scan));
    std::printf("library rows/s %.2f M; CPU during the library's read: server %.2f s, client %.2f s\n",
                static_cast<double>(rows) / t / 1e6, sidebyside::Median(serverCpu), sidebyside::Median(clientCpu));
    return 0;
}

// Prefetch road: N rows of (BIGINT, DOUBLE, VARCHAR) read chunk by chunk
// through the library with prefetching on (the default threshold), against
// the same read on the same connection with prefetching off. Both touch
// every value; the rounds alternate which goes first. A caller busy with
// each chunk for a while (`spin`, in microseconds) is the case prefetching
// is for: the server keeps sending meanwhile.
//
//   prefetch_side_by_side [rows=20000000] [rounds=7] [spin=0]
#include "library_read.h"

namespace {

using sidebyside::Check;
using sidebyside::Fail;

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::ArgOr(argc, argv, 1, 20'000'000);
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 7));
    const long spin = sidebyside::ArgOr(argc, argv, 3, 0);

    sidebyside::LibraryServer server;
    server.Execute(sidebyside::kReadTable);
    server.Execute(sidebyside::FillReadTable(rows));
    kelvo_connection_t* conn = server.Connection();

    const pid_t serverPid = sidebyside::ServerPid();
    std::vector<double> on, off, onCpu, offCpu, ratios;
    uint64_t sink = 0;
    auto read = [&](bool prefetch, std::vector<double>& wall, std::vector<double>& cpu) {
        kelvo_set_prefetch_threshold(conn, prefetch ? 268435456 : 0);
        const double client0 = sidebyside::CpuSeconds(::getpid());
        wall.push_back(sidebyside::Seconds([&] { sink += sidebyside::ReadThroughLibrary(conn, rows, spin); }));
        cpu.push_back(sidebyside::CpuSeconds(::getpid()) - client0);
    };
    read(true, on, onCpu);  // warms the engine's cache; not counted
    on.clear();
    onCpu.clear();
    for (int round = 0; round < rounds; ++round) {
        const double server0 = sidebyside::CpuSeconds(serverPid);
        read(round % 2 == 0, round % 2 == 0 ? on : off, round % 2 == 0 ? onCpu : offCpu);
        read(round % 2 != 0, round % 2 != 0 ? on : off, round % 2 != 0 ? onCpu : offCpu);
        ratios.push_back(on.back() / off.back());
        std::printf(
            "round %d: prefetch on %.3f s (client CPU %.2f s), off %.3f s (client CPU %.2f s), on/off %.2fx, "
            "server CPU %.2f s\n",
            round + 1, on.back(), onCpu.back(), off.back(), offCpu.back(), ratios.back(),
            sidebyside::CpuSeconds(serverPid) - server0);
        std::fflush(stdout);
    }
    std::printf(
        "\nread %lld rows x (BIGINT, DOUBLE, VARCHAR), %ld us of work a chunk, median of %d rounds (checksum "
        "%llu)\n",
        static_cast<long long>(rows), spin, rounds, static_cast<unsigned long long>(sink % 1000));
    const double onWall = sidebyside::Median(on), offWall = sidebyside::Median(off);
    std::printf("prefetch on %.3f s, off %.3f s: wall on/off %.2fx (rounds %.2fx to %.2fx); client CPU on/off %.2fx\n",
                onWall, offWall, onWall / offWall, *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()),
                sidebyside::Median(onCpu) / sidebyside::Median(offCpu));
    return 0;
}

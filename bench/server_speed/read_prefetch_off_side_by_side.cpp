// Read road with the library's prefetching off: N rows of (BIGINT, DOUBLE,
// VARCHAR) through the library from the server, against the same table read
// in this process through the engine's streaming scan by one consumer.
//
//   read_prefetch_off_side_by_side [rows=20000000] [rounds=5]
#include <duckdb.h>

#include "engine_database.h"
#include "library_read.h"

namespace {

using serverspeed::Check;
using serverspeed::Fail;

uint64_t StreamingScan(duckdb_connection conn, int64_t expected) {
    duckdb_prepared_statement stmt = nullptr;
    duckdb_pending_result pending = nullptr;
    duckdb_result result;
    if (duckdb_prepare(conn, "SELECT a, b, c FROM r", &stmt) == DuckDBError)
        Fail("prepare");
    if (duckdb_pending_prepared_streaming(stmt, &pending) == DuckDBError)
        Fail("pending");
    if (duckdb_execute_pending(pending, &result) == DuckDBError)
        Fail(duckdb_result_error(&result));
    uint64_t checksum = 0;
    int64_t rows = 0;
    while (duckdb_data_chunk chunk = duckdb_fetch_chunk(result)) {
        const idx_t n = duckdb_data_chunk_get_size(chunk);
        auto* a = static_cast<int64_t*>(duckdb_vector_get_data(duckdb_data_chunk_get_vector(chunk, 0)));
        auto* b = static_cast<double*>(duckdb_vector_get_data(duckdb_data_chunk_get_vector(chunk, 1)));
        auto* c = static_cast<duckdb_string_t*>(duckdb_vector_get_data(duckdb_data_chunk_get_vector(chunk, 2)));
        for (idx_t i = 0; i < n; ++i) {
            const uint32_t length = duckdb_string_t_length(c[i]);
            checksum += 16 + length + static_cast<uint8_t>(a[i]) + static_cast<uint64_t>(b[i] > 0) +
                        static_cast<uint8_t>(duckdb_string_t_data(&c[i])[0]);
        }
        rows += static_cast<int64_t>(n);
        duckdb_destroy_data_chunk(&chunk);
    }
    duckdb_destroy_result(&result);
    duckdb_destroy_pending(&pending);
    duckdb_destroy_prepare(&stmt);
    if (rows != expected)
        Fail("the engine read " + std::to_string(rows) + " rows");
    return checksum;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::ArgOr(argc, argv, 1, 20'000'000);
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 5));
    serverspeed::Server server;
    kelvo_connection_t* conn = server.Connect();
    kelvo_set_prefetch_threshold(conn, 0);
    Check(kelvo_execute_command(conn, serverspeed::kReadTable, nullptr), "create");
    Check(kelvo_execute_command(conn, serverspeed::FillReadTable(rows).c_str(), nullptr), "fill");
    sidebyside::EngineDatabase engine(server.Directory() + "/anchor.duckdb");
    engine.Execute(serverspeed::kReadTable);
    engine.Execute(serverspeed::FillReadTable(rows));

    const pid_t serverPid = sidebyside::ServerPid();
    std::vector<double> ours, scan, serverCpu;
    uint64_t sink = 0;
    for (int round = 0; round < rounds; ++round) {
        const double server0 = sidebyside::CpuSeconds(serverPid);
        ours.push_back(sidebyside::Seconds([&] { sink += serverspeed::ReadThroughLibrary(conn, rows); }));
        serverCpu.push_back(sidebyside::CpuSeconds(serverPid) - server0);
        scan.push_back(sidebyside::Seconds([&] { sink += StreamingScan(engine.Connection(), rows); }));
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

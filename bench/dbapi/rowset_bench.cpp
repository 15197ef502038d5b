// How fast a caller reads a long result through the C interface: the
// statement sent with kelvo_execute_query, every chunk taken with
// kelvo_rowset_get_next_chunk and its fields read with
// kelvo_rowset_chunk_field_values. Compares prefetching (the default), no
// prefetching (threshold 0) and whole results (chunked mode off) on 200000
// rows of two binary int4 columns served by the scripted peer, with a caller
// that only sums the fields and with one that spends some work on each row
// (the second argument: rounds of a small hash per row).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "api/connection.h"
#include "kelvo/connection.h"
#include "kelvo/error.h"
#include "kelvo/rowset.h"
#include "support/scripted_peer.h"

namespace {

using kelvotest::ScriptedPeer;
namespace w = kelvotest::wire;

constexpr int kRows = 200000;
constexpr int kIterations = 8;

std::shared_ptr<const std::string> ResultBytes() {
    auto bytes = std::make_shared<std::string>(w::RowDescription({{"a", 23, 4, 1}, {"b", 23, 4, 1}}));
    const std::string row = w::DataRow({std::string(4, '\1'), std::string(4, '\2')});
    bytes->reserve(bytes->size() + row.size() * kRows + 64);
    for (int i = 0; i < kRows; ++i)
        *bytes += row;
    *bytes += w::CommandComplete("SELECT " + std::to_string(kRows)) + w::ReadyForQuery();
    return bytes;
}

// First argument, the mode: 0 prefetching, 1 threshold 0, 2 chunked mode off.
void BM_ReadRows(benchmark::State& state) {
    static const std::shared_ptr<const std::string> bytes = ResultBytes();
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(w::AuthenticationOk() + w::BackendKeyData(1, 2) +
                                                              w::ReadyForQuery());
    for (int i = 0; i < kIterations; ++i)
        script.ExpectMessage('Q').SendShared(bytes);
    script.ExpectMessage('Q').Send(w::CommandComplete("DETACH") + w::ReadyForQuery());
    peer.Start();
    kelvoapi::Parameters parameters;
    parameters.Set("host", peer.SocketDirectory());
    parameters.Set("port", std::to_string(ScriptedPeer::kUnixPort));
    auto* conn = new kelvo_connection_t(std::make_shared<kelvoapi::Connection>(parameters, KELVO_DO_NOT_CREATE));
    if (state.range(0) == 1)
        kelvo_set_prefetch_threshold(conn, 0);
    if (state.range(0) == 2)
        kelvo_set_chunked_mode(conn, false);
    int64_t rows = 0;
    uint64_t checksum = 0;
    for (auto _ : state) {
        kelvo_rowset_t* rowset = nullptr;
        if (kelvo_error_t* e = kelvo_execute_query(conn, "SELECT a, b", &rowset)) {
            kelvo_error_destroy(e);
            state.SkipWithError("query failed");
            break;
        }
        for (;;) {
            kelvo_rowset_chunk_t* chunk = nullptr;
            if (kelvo_error_t* e = kelvo_rowset_get_next_chunk(rowset, &chunk))
                kelvo_error_destroy(e);
            if (chunk == nullptr)
                break;
            size_t cols = 0, count = 0;
            const uint8_t* const* values = nullptr;
            const size_t* sizes = nullptr;
            const int8_t* nulls = nullptr;
            kelvo_rowset_chunk_field_values(chunk, &cols, &count, &values, &sizes, &nulls);
            for (size_t i = 0; i < cols * count; ++i) {
                checksum += values[i][0] + sizes[i];
                for (int64_t round = 0; round < state.range(1); ++round)
                    checksum = checksum * 1099511628211u + i;
            }
            rows += static_cast<int64_t>(count);
            kelvo_destroy_rowset_chunk(chunk);
        }
        kelvo_close_rowset(rowset);
    }
    benchmark::DoNotOptimize(checksum);
    state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
    kelvo_disconnect(conn);
    peer.Stop();
}

BENCHMARK(BM_ReadRows)
    ->ArgsProduct({{0, 1, 2}, {0, 100}})
    ->Iterations(kIterations)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

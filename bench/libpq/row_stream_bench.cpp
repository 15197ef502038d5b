// How fast the client turns a long stream of DataRows from the scripted peer
// into results, whole and in chunks of 256 rows: rows per second, bytes the
// rows hold per row (PQresultSize), heap bytes in use per row while a whole
// result is held, and the client thread's CPU time per MB of protocol data.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <memory>
#include <string>
#include <vector>

#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "support/connected_record.h"
#include "support/scripted_peer.h"

namespace {

using namespace kelvotest;
namespace w = kelvotest::wire;

constexpr int kIterations = 8;

struct Shape {
    std::vector<w::Column> columns;
    std::vector<std::optional<std::string>> row;
    int rows;
};

Shape TwoInts() { return {{{"a", 23, 4, 1}, {"b", 23, 4, 1}}, {std::string(4, '\1'), std::string(4, '\2')}, 200000}; }

Shape TwentyMixed() {
    Shape s;
    for (int i = 0; i < 20; ++i) {
        switch (i % 4) {
            case 0:
                s.columns.push_back({"i" + std::to_string(i), 23, 4, 1});
                s.row.push_back(std::string(4, '\7'));
                break;
            case 1:
                s.columns.push_back({"b" + std::to_string(i), 20, 8, 1});
                s.row.push_back(std::string(8, '\3'));
                break;
            case 2:
                s.columns.push_back({"t" + std::to_string(i), 25, -1, 1});
                s.row.push_back(std::string("text value ") + std::to_string(i));
                break;
            default:
                s.columns.push_back({"n" + std::to_string(i), 25, -1, 1});
                s.row.push_back(std::nullopt);
                break;
        }
    }
    s.rows = 50000;
    return s;
}

Shape KilobyteTexts() { return {{{"t", 25, -1, 0}}, {std::string(1024, 'k')}, 20000}; }

void RowStream(benchmark::State& state, Shape (*makeShape)(), uint32_t chunkSize) {
    const Shape shape = makeShape();
    auto stream = std::make_shared<std::string>(w::RowDescription(shape.columns));
    const std::string row = w::DataRow(shape.row);
    stream->reserve(stream->size() + row.size() * shape.rows + 64);
    for (int i = 0; i < shape.rows; ++i)
        *stream += row;
    *stream += w::CommandComplete("SELECT " + std::to_string(shape.rows)) + w::ReadyForQuery();

    ScriptedPeer peer;
    auto& script = peer.AddConnection();
    // One extra round for the warm-up statement.
    for (int i = 0; i <= kIterations; ++i)
        script.ExpectMessage('Q').SendShared(stream);
    peer.Start();
    auto conn = MakeConnectedRecord(peer.ConnectUnix());

    auto runStatement = [&](int64_t& rows, int64_t& rowBytes, int64_t& heapBytes) {
        PQsendQuery(conn.get(), "SELECT");
        PQsetChunkedMode(conn.get(), chunkSize);
        const size_t before = mallinfo2().uordblks;
        while (PGresult* res = PQgetResult(conn.get())) {
            rows += PQntuples(res);
            rowBytes += PQresultSize(res);
            if (chunkSize == 0)
                heapBytes += static_cast<int64_t>(mallinfo2().uordblks - before);
            PQclear(res);
        }
    };
    int64_t rows = 0, rowBytes = 0, heapBytes = 0;
    runStatement(rows, rowBytes, heapBytes);  // warm-up: buffers reach their size
    rows = rowBytes = heapBytes = 0;
    for (auto _ : state)
        runStatement(rows, rowBytes, heapBytes);

    const double bytes = static_cast<double>(stream->size()) * state.iterations();
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
    state.counters["row_bytes_per_row"] = static_cast<double>(rowBytes) / static_cast<double>(rows);
    if (chunkSize == 0)
        state.counters["heap_bytes_per_row"] = static_cast<double>(heapBytes) / static_cast<double>(rows);
    state.counters["cpu_s_per_MB"] =
        benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    conn.reset();
    peer.Stop();
}

BENCHMARK_CAPTURE(RowStream, two_int4_whole, TwoInts, 0u)->Iterations(kIterations)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RowStream, two_int4_chunks_256, TwoInts, 256u)
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RowStream, twenty_mixed_whole, TwentyMixed, 0u)
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RowStream, twenty_mixed_chunks_256, TwentyMixed, 256u)
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RowStream, text_1k_whole, KilobyteTexts, 0u)->Iterations(kIterations)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RowStream, text_1k_chunks_256, KilobyteTexts, 256u)
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond);

}  // namespace

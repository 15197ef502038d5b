// The inserter buffer on its own (ns per cell through the C interface into a
// sink that discards every chunk) and whole loads through it into the
// stand-in server: rows/s and bytes/s for a 10-column mixed table, small
// enough for one plain COPY and large enough for bulk mode.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "api/chunk_sink.h"
#include "api/inserter_buffer.h"
#include "error/error.h"
#include "kelvo/kelvo.h"
#include "support/kelvod_server.h"
#include "support/mixed_table.h"

namespace {

class DiscardingSink : public kelvoapi::ChunkSink {
public:
    void InitBulkInsert(const kelvoapi::TableDefinition*, const std::string&) override {}
    void SendChunk(const uint8_t*, size_t size) override { bytes += size; }
    size_t bytes = 0;
};

using kelvobench::AddMixedRow;
using kelvobench::kMixedBlob;
using kelvobench::kMixedName;
using kelvobench::kMixedNote;
using kelvobench::kMixedTable;
using kelvobench::MixedDefinition;

// The encoded size of row `id`: the NOT NULL id, then every other cell with
// its marker byte; opt is a lone NULL marker in odd rows.
size_t RowBytes(int64_t id) {
    return 8 + 5 + 3 + 2 + 9 + 5 + (5 + kMixedName.size()) + (5 + kMixedNote.size()) + (5 + sizeof kMixedBlob) +
           ((id & 1) != 0 ? 1 : 5);
}

// Returns false when a cell is refused.
bool AddRow(kelvo_inserter_buffer_t* buffer, int64_t id) {
    kelvo_error_t* e = AddMixedRow(buffer, id);
    kelvo_error_destroy(e);
    return e == nullptr;
}

void BM_BufferCells(benchmark::State& state) {
    DiscardingSink sink;
    kelvoapi::InserterBuffer buffer(sink, MixedDefinition(), "*");
    int64_t id = 0;
    for (auto _ : state) {
        if (!AddRow(&buffer, id++)) {
            state.SkipWithError("a cell was refused");
            break;
        }
    }
    buffer.flush();
    state.SetItemsProcessed(state.iterations() * 10);
    state.counters["ns_per_cell"] = benchmark::Counter(static_cast<double>(state.iterations()) * 10,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<int64_t>(sink.bytes));
}
BENCHMARK(BM_BufferCells);

#ifdef KELVO_SERVER_DIR
// Argument: rows per load.
void BM_LoadIntoKelvod(benchmark::State& state) {
    const std::string dir = kelvotest::MakeTempDirectory();
    kelvo_parameters_t* parameters = nullptr;
    kelvo_instance_t* instance = nullptr;
    kelvo_connection_t* conn = nullptr;
    kelvo_error_t* e = kelvo_create_instance_parameters(&parameters, true);
    if (e == nullptr)
        e = kelvo_parameters_set(parameters, "use_tcp_port", "off");
    if (e == nullptr)
        e = kelvo_parameters_set(parameters, "log_dir", dir.c_str());
    if (e == nullptr)
        e = kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &instance);
    kelvo_parameters_destroy(parameters);
    parameters = nullptr;
    if (e == nullptr)
        e = kelvo_create_connection_parameters(instance, &parameters);
    const std::string db = dir + "/bench.kelvo";
    if (e == nullptr)
        e = kelvo_parameters_set(parameters, "dbname", db.c_str());
    if (e == nullptr)
        e = kelvo_connect(parameters, &conn, KELVO_CREATE_AND_REPLACE);
    if (e == nullptr)
        e = kelvo_execute_command(conn, kMixedTable, nullptr);
    kelvo_parameters_destroy(parameters);

    const kelvoapi::TableDefinition definition = MixedDefinition();
    const int64_t rows = state.range(0);
    int64_t bytes = 0;
    for (auto _ : state) {
        if (e != nullptr)
            break;
        kelvo_inserter_t* inserter = nullptr;
        kelvo_inserter_buffer_t* buffer = nullptr;
        e = kelvo_create_inserter(conn, &definition, &inserter);
        if (e == nullptr)
            e = kelvo_create_inserter_buffer(inserter, &definition, "*", &buffer);
        for (int64_t id = 0; e == nullptr && id < rows; ++id) {
            if (!AddRow(buffer, id))
                state.SkipWithError("a cell was refused");
            bytes += static_cast<int64_t>(RowBytes(id));
        }
        if (e == nullptr)
            e = kelvo_inserter_buffer_flush(buffer);
        kelvo_inserter_buffer_destroy(buffer);
        if (inserter != nullptr) {
            kelvo_error_t* closed = kelvo_close_inserter(inserter, true);
            if (e == nullptr) {
                e = closed;
            } else {
                kelvo_error_destroy(closed);
            }
        }
        state.PauseTiming();
        if (e == nullptr)
            e = kelvo_execute_command(conn, "DELETE FROM mixed", nullptr);
        state.ResumeTiming();
    }
    if (e != nullptr) {
        static std::string text;
        text = kelvoapi::ToString(*static_cast<kelvoapi::Error*>(e));
        state.SkipWithError(text.c_str());
        kelvo_error_destroy(e);
    }
    state.SetItemsProcessed(state.iterations() * rows);
    state.counters["rows_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * rows), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(bytes);
    kelvo_disconnect(conn);
    kelvo_instance_close(instance);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}
// 100000 rows stay below one buffer (plain COPY); 1000000 rows go in bulk.
BENCHMARK(BM_LoadIntoKelvod)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

// Rows and megabytes per second that the stand-in server loads in the KLVCPY
// format for a 10-column mixed table: through one COPY FROM STDIN sent as 1 MiB
// CopyData messages, and through an external stream fed with 16 MiB chunks on
// a second connection while INSERT BULK reads it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/kelvod_server.h"
#include "support/klvcpy_rows.h"
#include "support/wire_client.h"

namespace {

kelvotest::KelvodServer& Server() {
    static std::unique_ptr<kelvotest::KelvodServer> server = [] {
        auto s = std::make_unique<kelvotest::KelvodServer>();
        if (!s->Start())
            std::abort();
        return s;
    }();
    return *server;
}

constexpr int64_t kJulian2000 = 2451545;
constexpr int64_t kMicrosPerDay = 86400000000LL;

// i INT, b BIGINT, s SMALLINT, d DOUBLE, n NUMERIC(18,3), t TEXT, v VARCHAR(20), day DATE, ts TIMESTAMP, f BOOLEAN;
// every column nullable, every tenth b NULL.
std::string MixedRows(int64_t count) {
    kelvotest::KlvcpyRows k;
    k.Header();
    for (int64_t i = 0; i < count; ++i) {
        k.Int32(static_cast<int32_t>(i));
        if (i % 10 == 0)
            k.Null();
        else
            k.Int64(i * 7);
        k.Int16(static_cast<int16_t>(i % 1000)).Double(static_cast<double>(i) / 3.0).Int64(i * 125);
        k.Bytes("text " + std::to_string(i)).Bytes("v" + std::to_string(i));
        k.Int32(static_cast<int32_t>(kJulian2000 + i % 5000)).Int64(kJulian2000 * kMicrosPerDay + i * 1000000);
        k.Int8(static_cast<int8_t>(i % 2));
    }
    return k.Data();
}

void BM_CopyMixed(benchmark::State& state) {
    kelvotest::WireClient c;
    c.Open(Server().Endpoint(), ":main", "result_format_code=Text");
    c.Query(
        "CREATE TABLE IF NOT EXISTS \"mixed_load\" (\"i\" INT, \"b\" BIGINT, \"s\" SMALLINT, \"d\" DOUBLE PRECISION, "
        "\"n\" NUMERIC(18,3), \"t\" TEXT, \"v\" VARCHAR(20), \"day\" DATE, \"ts\" TIMESTAMP, \"f\" BOOLEAN)");
    const std::string data = MixedRows(state.range(0));
    const std::vector<std::string> pieces = kelvotest::SplitInto(data, 1 << 20);
    int64_t rows = 0, bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        c.Query("DELETE FROM mixed_load");
        state.ResumeTiming();
        kelvotest::WireResult r =
            c.CopyIn("COPY \"mixed_load\" FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)", pieces);
        if (!r.Ok()) {
            state.SkipWithError("the COPY failed");
            return;
        }
        rows += state.range(0);
        bytes += static_cast<int64_t>(data.size());
    }
    state.counters["rows_per_second"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
    state.counters["MB_per_second"] = benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
    state.counters["bytes_per_row"] = static_cast<double>(data.size()) / static_cast<double>(state.range(0));
}
BENCHMARK(BM_CopyMixed)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

// As bulk insertion sends them: each chunk its own COPY with its own header.
std::vector<std::string> MixedChunks(int64_t count, int64_t rowsPerChunk) {
    std::vector<std::string> chunks;
    for (int64_t first = 0; first < count; first += rowsPerChunk)
        chunks.push_back(MixedRows(std::min(rowsPerChunk, count - first)));
    return chunks;
}

void BM_StreamMixed(benchmark::State& state) {
    kelvotest::WireClient main, feeder;
    main.Open(Server().Endpoint(), ":main", "result_format_code=Text");
    feeder.Open(Server().Endpoint(), ":main", "result_format_code=Text");
    const char* columns =
        "(\"i\" INT, \"b\" BIGINT, \"s\" SMALLINT, \"d\" DOUBLE PRECISION, \"n\" NUMERIC(18,3), "
        "\"t\" TEXT, \"v\" VARCHAR(20), \"day\" DATE, \"ts\" TIMESTAMP, \"f\" BOOLEAN)";
    main.Query(std::string("CREATE TABLE IF NOT EXISTS \"mixed_bulk\" ") + columns);
    // About 16 MiB a chunk, as the inserter buffer fills them.
    const std::vector<std::string> chunks = MixedChunks(state.range(0), 200000);
    int64_t rows = 0, bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        main.Query("DELETE FROM mixed_bulk");
        main.Query(std::string("CREATE BOUNDED EXTERNAL STREAM \"mixed_stream\" ") + columns +
                   "  (WITH (FORMAT KELVOBINARY, SANITIZE))");
        state.ResumeTiming();
        main.SendMessage('Q',
                         kelvotest::WireClient::Str("INSERT BULK INTO \"mixed_bulk\" (SELECT * FROM EXTERNAL STREAM "
                                                    "\"mixed_stream\")"));
        for (const auto& chunk : chunks) {
            for (;;) {
                kelvotest::WireResult r =
                    feeder.CopyIn("COPY \"mixed_stream\" FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)", {chunk});
                if (r.Ok())
                    break;
                if (r.errors.empty() || r.errors[0].sqlstate != "53400") {
                    state.SkipWithError("a chunk failed");
                    return;
                }
            }
            bytes += static_cast<int64_t>(chunk.size());
        }
        feeder.Query("CLOSE EXTERNAL STREAM \"mixed_stream\"");
        if (!main.ReadUntilReady(600000).Ok()) {
            state.SkipWithError("the insertion failed");
            return;
        }
        state.PauseTiming();
        feeder.Query("DROP EXTERNAL STREAM \"mixed_stream\"");
        state.ResumeTiming();
        rows += state.range(0);
    }
    state.counters["rows_per_second"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
    state.counters["MB_per_second"] = benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StreamMixed)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

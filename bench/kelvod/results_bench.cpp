// Rows per second end to end for `SELECT * FROM range(N)` and a 10-column
// mixed table, in text and in binary, read over the server's socket; and the
// server's resident memory after each run, which should stay flat as N grows.
#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>

#include "support/kelvod_server.h"
#include "support/wire_client.h"

namespace {

kelvotest::KelvodServer& Server() {
    static std::unique_ptr<kelvotest::KelvodServer> server = [] {
        auto s = std::make_unique<kelvotest::KelvodServer>();
        if (!s->Start())
            std::abort();
        kelvotest::WireClient c;
        c.Open(s->Endpoint(), ":main");
        c.Query(
            "CREATE TABLE \"mixed\" (\"i\" INT, \"b\" BIGINT, \"s\" SMALLINT, \"d\" DOUBLE PRECISION, "
            "\"n\" NUMERIC(18,3), \"t\" TEXT, \"v\" VARCHAR(20), \"day\" DATE, \"ts\" TIMESTAMP, \"f\" BOOLEAN)");
        c.Query(
            "INSERT INTO mixed SELECT i, i * 7, i % 1000, i / 3.0, i / 8.0, 'text ' || i, 'v' || i, "
            "DATE '2000-01-01' + (i % 5000)::INT, TIMESTAMP '2000-01-01' + INTERVAL (i) SECOND, i % 2 = 0 "
            "FROM range(1000000) t(i)");
        return s;
    }();
    return *server;
}

long ServerRssKiB() {
    std::ifstream status("/proc/" + std::to_string(Server().Pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Reads the whole result message by message, as a chunked client does, without keeping rows.
void ReadRows(benchmark::State& state, const std::string& sql, bool binary) {
    kelvotest::WireClient c;
    c.Open(Server().Endpoint(), ":main", binary ? "result_format_code=KelvoBinary" : "result_format_code=Text");
    int64_t rows = 0;
    for (auto _ : state) {
        c.SendMessage('Q', kelvotest::WireClient::Str(sql));
        for (;;) {
            auto m = c.Read(60000);
            if (m.type == 'D')
                ++rows;
            if (m.type == 'Z' || m.type == 0)
                break;
        }
    }
    state.counters["rows_per_second"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
    state.counters["server_rss_kib"] = static_cast<double>(ServerRssKiB());
}

void BM_Range(benchmark::State& state) {
    ReadRows(state, "SELECT * FROM range(" + std::to_string(state.range(0)) + ")", state.range(1) != 0);
}
BENCHMARK(BM_Range)->ArgsProduct({{100000, 1000000, 10000000}, {0, 1}})->Unit(benchmark::kMillisecond);

void BM_MixedTable(benchmark::State& state) {
    ReadRows(state, "SELECT * FROM mixed LIMIT " + std::to_string(state.range(0)), state.range(1) != 0);
}
BENCHMARK(BM_MixedTable)->ArgsProduct({{100000, 1000000}, {0, 1}})->Unit(benchmark::kMillisecond);

}  // namespace

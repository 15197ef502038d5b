// Statement throughput against the PostgreSQL peer over its Unix socket:
// reading a large result whole and in chunks of 256 rows (with the peak
// resident memory of each), and COPY FROM STDIN into an unlogged table in
// blocks of 64 KiB and 16 MiB, with the client's CPU time per megabyte.
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>

#include "postgres/libpq/connect.h"
#include "postgres/libpq/copy_data.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "support/postgres_cluster.h"

namespace {

using kelvotest::PostgresCluster;

PGconn* Connect() {
    const PostgresCluster& cluster = PostgresCluster::Shared();
    const std::string port = cluster.PortText();
    const char* keywords[] = {"host", "port", "user", "dbname", nullptr};
    const char* values[] = {cluster.SocketDir().c_str(), port.c_str(), PostgresCluster::kAdminUser,
                            PostgresCluster::kDatabase, nullptr};
    PGconn* conn = PQconnectdbParams(keywords, values, 0);
    if (PQstatus(conn) != CONNECTION_OK)
        throw std::runtime_error(PQerrorMessage(conn));
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return conn;
}

void Exec(PGconn* conn, const char* sql) {
    PGresult* res = PQexec(conn, sql);
    ExecStatusType status = PQresultStatus(res);
    std::string text = PQresultErrorMessage(res);
    PQclear(res);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error(text);
}

double ThreadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Peak resident memory since the last reset, in MiB.
double PeakRssMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

void ResetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

// Value bytes of one result.
int64_t ValueBytes(const PGresult* res) {
    int64_t bytes = 0;
    const int rows = PQntuples(res);
    const int cols = PQnfields(res);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            bytes += PQgetlength(res, r, c);
    return bytes;
}

void ReadResult(benchmark::State& state, bool chunked) {
    PGconn* conn = Connect();
    const std::string sql =
        "SELECT g, g::text, g*1.5 FROM generate_series(1, " + std::to_string(state.range(0)) + ") g";
    int64_t rows = 0;
    int64_t bytes = 0;
    double cpu = 0;
    ResetPeakRss();
    for (auto _ : state) {
        const double cpuStart = ThreadCpuSeconds();
        if (PQsendQuery(conn, sql.c_str()) != 1)
            throw std::runtime_error(PQerrorMessage(conn));
        if (chunked && PQsetChunkedMode(conn, 256) != 1)
            throw std::runtime_error("chunked mode refused");
        while (PGresult* res = PQgetResult(conn)) {
            if (PQresultStatus(res) != PGRES_TUPLES_OK && PQresultStatus(res) != PGRES_TUPLES_CHUNK)
                throw std::runtime_error(PQresultErrorMessage(res));
            rows += PQntuples(res);
            bytes += ValueBytes(res);
            PQclear(res);
        }
        cpu += ThreadCpuSeconds() - cpuStart;
    }
    state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
    state.counters["peak_rss_MiB"] = PeakRssMiB();
    state.counters["client_cpu_ms_per_MB"] = cpu * 1000.0 / (static_cast<double>(bytes) / 1e6);
    PQfinish(conn);
}

void BM_SelectWhole(benchmark::State& state) { ReadResult(state, false); }
void BM_SelectChunked256(benchmark::State& state) { ReadResult(state, true); }
BENCHMARK(BM_SelectChunked256)->Arg(1000000)->Arg(5000000)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_SelectWhole)->Arg(1000000)->Arg(5000000)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// COPY FROM STDIN of 256 MiB of text rows in blocks of state.range(0) bytes.
void BM_CopyIn(benchmark::State& state) {
    PGconn* conn = Connect();
    Exec(conn, "DROP TABLE IF EXISTS bench_copy");
    Exec(conn, "CREATE UNLOGGED TABLE bench_copy (a bigint, b text, c float8)");
    const size_t block = static_cast<size_t>(state.range(0));
    const size_t total = 256u * 1024 * 1024;
    std::string data;
    data.reserve(total + 128);
    for (int64_t i = 1; data.size() < total; ++i)
        data += std::to_string(i) + "\tvalue number " + std::to_string(i) + "\t" + std::to_string(i * 1.5) + "\n";
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Exec(conn, "TRUNCATE bench_copy");
        state.ResumeTiming();
        const double cpuStart = ThreadCpuSeconds();
        PGresult* start = PQexec(conn, "COPY bench_copy FROM STDIN");
        if (PQresultStatus(start) != PGRES_COPY_IN)
            throw std::runtime_error(PQresultErrorMessage(start));
        PQclear(start);
        for (size_t pos = 0; pos < data.size(); pos += block) {
            const size_t n = std::min(block, data.size() - pos);
            if (PQputCopyData(conn, data.data() + pos, static_cast<int>(n)) != 1)
                throw std::runtime_error(PQerrorMessage(conn));
        }
        if (PQputCopyEnd(conn, nullptr) != 1)
            throw std::runtime_error(PQerrorMessage(conn));
        while (PGresult* res = PQgetResult(conn)) {
            if (PQresultStatus(res) != PGRES_COMMAND_OK)
                throw std::runtime_error(PQresultErrorMessage(res));
            PQclear(res);
        }
        cpu += ThreadCpuSeconds() - cpuStart;
    }
    const double mb = static_cast<double>(data.size()) * static_cast<double>(state.iterations()) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(data.size()) * state.iterations());
    state.counters["client_cpu_ms_per_MB"] = cpu * 1000.0 / mb;
    Exec(conn, "DROP TABLE bench_copy");
    PQfinish(conn);
}
BENCHMARK(BM_CopyIn)
    ->Arg(64 * 1024)
    ->Arg(16 * 1024 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

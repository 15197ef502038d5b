// Load road: N rows of a 10-column mixed table through the inserter buffer
// into the server, against the same rows through the engine's row appender
// and its vector (data chunk) append in this process (into a database file,
// committed), and through PostgreSQL 15 COPY ... (FORMAT binary) into a
// private cluster. Also the server's peak memory during each load.
//
//   load_side_by_side [rows=10000000] [rounds=5]
#include <arpa/inet.h>
#include <libpq-fe.h>

#include <cstring>

#include "engine_database.h"
#include "mixed_chunk.h"
#include "side_by_side.h"
#include "support/mixed_table.h"
#include "support/postgres_cluster.h"

namespace {

using kelvobench::kMixedBlob;
using kelvobench::kMixedName;
using kelvobench::kMixedNote;
using kelvobench::kMixedTable;
using sidebyside::Check;
using sidebyside::EngineDatabase;
using sidebyside::Fail;
using sidebyside::FillMixedChunk;
using sidebyside::kMixedEngineTable;
using sidebyside::MixedDaysSince1970;
using sidebyside::NewMixedChunk;

void LoadThroughLibrary(kelvo_connection_t* conn, int64_t rows) {
    const kelvoapi::TableDefinition definition = kelvobench::MixedDefinition();
    kelvo_inserter_t* inserter = nullptr;
    kelvo_inserter_buffer_t* b = nullptr;
    Check(kelvo_create_inserter(conn, &definition, &inserter), "inserter");
    Check(kelvo_create_inserter_buffer(inserter, &definition, "*", &b), "inserter buffer");
    for (int64_t id = 0; id < rows; ++id)
        Check(kelvobench::AddMixedRow(b, id), "add a row");
    Check(kelvo_inserter_buffer_flush(b), "flush");
    kelvo_inserter_buffer_destroy(b);
    Check(kelvo_close_inserter(inserter, true), "close the inserter");
}

void LoadThroughRowAppender(EngineDatabase& engine, int64_t rows) {
    duckdb_appender a = engine.Appender("mixed");
    for (int64_t id = 0; id < rows; ++id) {
        duckdb_append_int64(a, id);
        duckdb_append_int32(a, static_cast<int32_t>(id));
        duckdb_append_int16(a, static_cast<int16_t>(id));
        duckdb_append_bool(a, (id & 1) != 0);
        duckdb_append_double(a, static_cast<double>(id) * 0.25);
        duckdb_append_date(a, duckdb_date{MixedDaysSince1970(id)});
        duckdb_append_varchar_length(a, kMixedName.data(), kMixedName.size());
        duckdb_append_varchar_length(a, kMixedNote.data(), kMixedNote.size());
        duckdb_append_blob(a, kMixedBlob, sizeof kMixedBlob);
        if ((id & 1) != 0)
            duckdb_append_null(a);
        else
            duckdb_append_int32(a, static_cast<int32_t>(id));
        if (duckdb_appender_end_row(a) == DuckDBError)
            Fail(duckdb_appender_error(a));
    }
    engine.Close(a);
}

void LoadThroughVectorAppend(EngineDatabase& engine, int64_t rows) {
    duckdb_data_chunk chunk = NewMixedChunk();
    const int64_t capacity = static_cast<int64_t>(duckdb_vector_size());
    duckdb_appender a = engine.Appender("mixed");
    for (int64_t first = 0; first < rows; first += capacity) {
        FillMixedChunk(chunk, first, std::min(capacity, rows - first));
        if (duckdb_append_data_chunk(a, chunk) == DuckDBError)
            Fail(duckdb_appender_error(a));
        duckdb_data_chunk_reset(chunk);
    }
    engine.Close(a);
    duckdb_destroy_data_chunk(&chunk);
}

class BinaryCopyWriter {
public:
    void Int16(int16_t v) { Raw(htons(static_cast<uint16_t>(v)), 2); }
    void Int32(int32_t v) { Raw(htonl(static_cast<uint32_t>(v)), 4); }
    void Int64(int64_t v) {
        Int32(static_cast<int32_t>(static_cast<uint64_t>(v) >> 32));
        Int32(static_cast<int32_t>(v));
    }
    void Field(const void* p, size_t n) {
        Int32(static_cast<int32_t>(n));
        m_bytes.append(static_cast<const char*>(p), n);
    }
    std::string& Bytes() { return m_bytes; }

private:
    template <typename T>
    void Raw(T v, size_t n) {
        m_bytes.append(reinterpret_cast<const char*>(&v), n);
    }
    std::string m_bytes;
};

void PgCheck(PGresult* r, ExecStatusType want, const char* what) {
    if (PQresultStatus(r) != want)
        Fail(std::string(what) + ": " + PQresultErrorMessage(r));
    PQclear(r);
}

void LoadThroughPostgresCopy(PGconn* pg, int64_t rows) {
    PgCheck(PQexec(pg, "COPY mixed FROM STDIN (FORMAT binary)"), PGRES_COPY_IN, "COPY");
    BinaryCopyWriter w;
    w.Bytes().assign("PGCOPY\n\377\r\n\0", 11);
    w.Int32(0);
    w.Int32(0);
    for (int64_t id = 0; id < rows; ++id) {
        w.Int16(10);
        w.Int32(8), w.Int64(id);
        w.Int32(4), w.Int32(static_cast<int32_t>(id));
        w.Int32(2), w.Int16(static_cast<int16_t>(id));
        w.Int32(1), w.Bytes().push_back((id & 1) != 0 ? 1 : 0);
        double d = static_cast<double>(id) * 0.25;
        int64_t bits;
        std::memcpy(&bits, &d, 8);
        w.Int32(8), w.Int64(bits);
        w.Int32(4), w.Int32(MixedDaysSince1970(id) - 10957);
        w.Field(kMixedName.data(), kMixedName.size());
        w.Field(kMixedNote.data(), kMixedNote.size());
        w.Field(kMixedBlob, sizeof kMixedBlob);
        if ((id & 1) != 0)
            w.Int32(-1);
        else
            w.Int32(4), w.Int32(static_cast<int32_t>(id));
        if (w.Bytes().size() >= (1u << 20)) {
            if (PQputCopyData(pg, w.Bytes().data(), static_cast<int>(w.Bytes().size())) != 1)
                Fail(PQerrorMessage(pg));
            w.Bytes().clear();
        }
    }
    w.Int16(-1);
    if (PQputCopyData(pg, w.Bytes().data(), static_cast<int>(w.Bytes().size())) != 1 || PQputCopyEnd(pg, nullptr) != 1)
        Fail(PQerrorMessage(pg));
    PgCheck(PQgetResult(pg), PGRES_COMMAND_OK, "COPY end");
    while (PGresult* r = PQgetResult(pg))
        PQclear(r);
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::ArgOr(argc, argv, 1, 10'000'000);
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 5));

    sidebyside::LibraryServer server;
    const pid_t serverPid = sidebyside::ServerPid();
    EngineDatabase engine(server.Directory() + "/anchor.duckdb");
    kelvotest::ScrubPgEnvironment();
    const auto& cluster = kelvotest::PostgresCluster::Shared();
    const std::string conninfo = "host=" + cluster.SocketDir() + " port=" + cluster.PortText() +
                                 " user=" + kelvotest::PostgresCluster::kAdminUser +
                                 " dbname=" + kelvotest::PostgresCluster::kDatabase;
    PGconn* pg = PQconnectdb(conninfo.c_str());
    if (PQstatus(pg) != CONNECTION_OK)
        Fail(PQerrorMessage(pg));
    PgCheck(PQexec(pg, "SET client_min_messages = warning"), PGRES_COMMAND_OK, "SET");

    std::vector<double> ours, rowAppender, vectorAppend, copyBinary, peakMiB;
    for (int round = 0; round < rounds; ++round) {
        server.Execute("DROP TABLE IF EXISTS mixed");
        server.Execute(kMixedTable);
        sidebyside::ResetPeakMemory(serverPid);
        ours.push_back(sidebyside::Seconds([&] { LoadThroughLibrary(server.Connection(), rows); }));
        peakMiB.push_back(static_cast<double>(sidebyside::MemoryKiB(serverPid, "VmHWM:")) / 1024);

        engine.Execute("DROP TABLE IF EXISTS mixed");
        engine.Execute(kMixedEngineTable);
        rowAppender.push_back(sidebyside::Seconds([&] { LoadThroughRowAppender(engine, rows); }));
        engine.Execute("DROP TABLE IF EXISTS mixed");
        engine.Execute(kMixedEngineTable);
        vectorAppend.push_back(sidebyside::Seconds([&] { LoadThroughVectorAppend(engine, rows); }));

        PgCheck(PQexec(pg, "DROP TABLE IF EXISTS mixed"), PGRES_COMMAND_OK, "DROP");
        PgCheck(PQexec(pg, kMixedTable), PGRES_COMMAND_OK, "CREATE");
        copyBinary.push_back(sidebyside::Seconds([&] { LoadThroughPostgresCopy(pg, rows); }));
        std::printf(
            "round %d: library %.3f s, row appender %.3f s, vector append %.3f s, COPY BINARY %.3f s, "
            "server peak %.0f MiB\n",
            round + 1, ours.back(), rowAppender.back(), vectorAppend.back(), copyBinary.back(), peakMiB.back());
        std::fflush(stdout);
    }
    PQfinish(pg);
    const double t = sidebyside::Median(ours);
    std::printf("\nload %lld rows x 10 columns, median of %d rounds (speed ratio = anchor time / library time)\n",
                static_cast<long long>(rows), rounds);
    sidebyside::PrintRatio("inserter buffer -> kelvod", "engine row appender", t, sidebyside::Median(rowAppender));
    sidebyside::PrintRatio("inserter buffer -> kelvod", "engine vector append", t, sidebyside::Median(vectorAppend));
    sidebyside::PrintRatio("inserter buffer -> kelvod", "PostgreSQL 15 COPY BINARY", t, sidebyside::Median(copyBinary));
    std::printf("library rows/s %.2f M; server peak memory during the load: median %.0f MiB\n",
                static_cast<double>(rows) / t / 1e6, sidebyside::Median(peakMiB));
    return 0;
}

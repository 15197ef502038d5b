// Load road: N rows of a 10-column mixed table through the inserter buffer
// into the server, against the same rows through the engine's row appender
// and its vector (data chunk) append in this process (into a database file,
// committed), and through PostgreSQL 15 COPY ... (FORMAT binary) into a
// private cluster. Also the server's peak memory during each load.
//
//   load_side_by_side [rows=10000000] [rounds=5]
#include <arpa/inet.h>
#include <duckdb.h>
#include <libpq-fe.h>

#include <cstring>

#include "api/table_definition.h"
#include "side_by_side.h"
#include "support/postgres_cluster.h"

namespace {

using sidebyside::Check;
using sidebyside::Fail;

const std::string kName = "customer-000042";
const std::string kNote = "a note of some forty bytes, give or take";
const uint8_t kBlob[8] = {1, 2, 3, 4, 5, 6, 7, 8};

const char* const kTable =
    "CREATE TABLE mixed (id BIGINT NOT NULL, i INT, s SMALLINT, f BOOLEAN, d DOUBLE PRECISION, dt DATE, name TEXT, "
    "note TEXT, blob BYTEA, opt INT)";
const char* const kEngineTable =
    "CREATE TABLE mixed (id BIGINT NOT NULL, i INTEGER, s SMALLINT, f BOOLEAN, d DOUBLE, dt DATE, name VARCHAR, "
    "note VARCHAR, blob BLOB, opt INTEGER)";

// Row `id`: id, (int)id, (short)id, odd, id/4, 2024-(1 + id % 12)-01, the
// name, the note, the blob, and opt = id in even rows, NULL in odd ones.
int32_t DaysSince1970(int64_t id) {
    static const int32_t days[12] = {19723, 19754, 19783, 19814, 19844, 19875,
                                     19905, 19936, 19967, 19997, 20028, 20058};
    return days[id % 12];
}

kelvoapi::TableDefinition MixedDefinition() {
    kelvoapi::TableDefinition definition("mixed", KELVO_PERMANENT, false);
    definition.AddColumn("id", KELVO_BIG_INT, 0, "", false);
    definition.AddColumn("i", KELVO_INT, 0, "", true);
    definition.AddColumn("s", KELVO_SMALL_INT, 0, "", true);
    definition.AddColumn("f", KELVO_BOOL, 0, "", true);
    definition.AddColumn("d", KELVO_DOUBLE, 0, "", true);
    definition.AddColumn("dt", KELVO_DATE, 0, "", true);
    definition.AddColumn("name", KELVO_TEXT, 0, "", true);
    definition.AddColumn("note", KELVO_TEXT, 0, "", true);
    definition.AddColumn("blob", KELVO_BYTE_A, 0, "", true);
    definition.AddColumn("opt", KELVO_INT, 0, "", true);
    return definition;
}

void LoadThroughLibrary(kelvo_connection_t* conn, int64_t rows) {
    const kelvoapi::TableDefinition definition = MixedDefinition();
    kelvo_inserter_t* inserter = nullptr;
    kelvo_inserter_buffer_t* b = nullptr;
    Check(kelvo_create_inserter(conn, &definition, &inserter), "inserter");
    Check(kelvo_create_inserter_buffer(inserter, &definition, "*", &b), "inserter buffer");
    const auto* name = reinterpret_cast<const uint8_t*>(kName.data());
    const auto* note = reinterpret_cast<const uint8_t*>(kNote.data());
    for (int64_t id = 0; id < rows; ++id) {
        kelvo_error_t* e = kelvo_inserter_buffer_add_int64(b, id);
        if (!e) e = kelvo_inserter_buffer_add_int32(b, static_cast<int32_t>(id));
        if (!e) e = kelvo_inserter_buffer_add_int16(b, static_cast<int16_t>(id));
        if (!e) e = kelvo_inserter_buffer_add_bool(b, (id & 1) != 0);
        if (!e) e = kelvo_inserter_buffer_add_double(b, static_cast<double>(id) * 0.25);
        if (!e) e = kelvo_inserter_buffer_add_date(b, 2024, static_cast<int16_t>(1 + id % 12), 1);
        if (!e) e = kelvo_inserter_buffer_add_binary(b, name, kName.size());
        if (!e) e = kelvo_inserter_buffer_add_binary(b, note, kNote.size());
        if (!e) e = kelvo_inserter_buffer_add_binary(b, kBlob, sizeof kBlob);
        if (!e) e = (id & 1) != 0 ? kelvo_inserter_buffer_add_null(b) : kelvo_inserter_buffer_add_int32(b, static_cast<int32_t>(id));
        Check(e, "add a row");
    }
    Check(kelvo_inserter_buffer_flush(b), "flush");
    kelvo_inserter_buffer_destroy(b);
    Check(kelvo_close_inserter(inserter, true), "close the inserter");
}

class Engine {
public:
    explicit Engine(const std::string& path) {
        if (duckdb_open(path.c_str(), &m_db) == DuckDBError || duckdb_connect(m_db, &m_conn) == DuckDBError)
            Fail("open the engine");
    }
    ~Engine() {
        duckdb_disconnect(&m_conn);
        duckdb_close(&m_db);
    }
    void Execute(const char* sql) {
        duckdb_result r;
        if (duckdb_query(m_conn, sql, &r) == DuckDBError) Fail(std::string(sql) + ": " + duckdb_result_error(&r));
        duckdb_destroy_result(&r);
    }
    duckdb_appender Appender() {
        duckdb_appender a = nullptr;
        if (duckdb_appender_create(m_conn, nullptr, "mixed", &a) == DuckDBError) Fail("appender");
        return a;
    }
    void Close(duckdb_appender& a) {
        if (duckdb_appender_destroy(&a) == DuckDBError) Fail("appender flush");
    }

private:
    duckdb_database m_db = nullptr;
    duckdb_connection m_conn = nullptr;
};

void LoadThroughRowAppender(Engine& engine, int64_t rows) {
    duckdb_appender a = engine.Appender();
    for (int64_t id = 0; id < rows; ++id) {
        duckdb_append_int64(a, id);
        duckdb_append_int32(a, static_cast<int32_t>(id));
        duckdb_append_int16(a, static_cast<int16_t>(id));
        duckdb_append_bool(a, (id & 1) != 0);
        duckdb_append_double(a, static_cast<double>(id) * 0.25);
        duckdb_append_date(a, duckdb_date{DaysSince1970(id)});
        duckdb_append_varchar_length(a, kName.data(), kName.size());
        duckdb_append_varchar_length(a, kNote.data(), kNote.size());
        duckdb_append_blob(a, kBlob, sizeof kBlob);
        if ((id & 1) != 0) duckdb_append_null(a);
        else duckdb_append_int32(a, static_cast<int32_t>(id));
        if (duckdb_appender_end_row(a) == DuckDBError) Fail(duckdb_appender_error(a));
    }
    engine.Close(a);
}

void LoadThroughVectorAppend(Engine& engine, int64_t rows) {
    const duckdb_type ids[10] = {DUCKDB_TYPE_BIGINT, DUCKDB_TYPE_INTEGER, DUCKDB_TYPE_SMALLINT, DUCKDB_TYPE_BOOLEAN,
                                 DUCKDB_TYPE_DOUBLE, DUCKDB_TYPE_DATE,    DUCKDB_TYPE_VARCHAR,  DUCKDB_TYPE_VARCHAR,
                                 DUCKDB_TYPE_BLOB,   DUCKDB_TYPE_INTEGER};
    duckdb_logical_type types[10];
    for (int c = 0; c < 10; ++c) types[c] = duckdb_create_logical_type(ids[c]);
    duckdb_data_chunk chunk = duckdb_create_data_chunk(types, 10);
    const int64_t capacity = static_cast<int64_t>(duckdb_vector_size());
    duckdb_appender a = engine.Appender();
    for (int64_t first = 0; first < rows; first += capacity) {
        const int64_t n = std::min(capacity, rows - first);
        duckdb_vector v[10];
        for (int c = 0; c < 10; ++c) v[c] = duckdb_data_chunk_get_vector(chunk, c);
        auto* id = static_cast<int64_t*>(duckdb_vector_get_data(v[0]));
        auto* i = static_cast<int32_t*>(duckdb_vector_get_data(v[1]));
        auto* s = static_cast<int16_t*>(duckdb_vector_get_data(v[2]));
        auto* f = static_cast<bool*>(duckdb_vector_get_data(v[3]));
        auto* d = static_cast<double*>(duckdb_vector_get_data(v[4]));
        auto* dt = static_cast<duckdb_date*>(duckdb_vector_get_data(v[5]));
        auto* opt = static_cast<int32_t*>(duckdb_vector_get_data(v[9]));
        duckdb_vector_ensure_validity_writable(v[9]);
        uint64_t* optValid = duckdb_vector_get_validity(v[9]);
        for (int64_t r = 0; r < n; ++r) {
            const int64_t row = first + r;
            id[r] = row;
            i[r] = static_cast<int32_t>(row);
            s[r] = static_cast<int16_t>(row);
            f[r] = (row & 1) != 0;
            d[r] = static_cast<double>(row) * 0.25;
            dt[r] = duckdb_date{DaysSince1970(row)};
            duckdb_vector_assign_string_element_len(v[6], r, kName.data(), kName.size());
            duckdb_vector_assign_string_element_len(v[7], r, kNote.data(), kNote.size());
            duckdb_vector_assign_string_element_len(v[8], r, reinterpret_cast<const char*>(kBlob), sizeof kBlob);
            opt[r] = static_cast<int32_t>(row);
            duckdb_validity_set_row_validity(optValid, r, (row & 1) == 0);
        }
        duckdb_data_chunk_set_size(chunk, n);
        if (duckdb_append_data_chunk(a, chunk) == DuckDBError) Fail(duckdb_appender_error(a));
        duckdb_data_chunk_reset(chunk);
    }
    engine.Close(a);
    duckdb_destroy_data_chunk(&chunk);
    for (auto& t : types) duckdb_destroy_logical_type(&t);
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
    void Raw(T v, size_t n) { m_bytes.append(reinterpret_cast<const char*>(&v), n); }
    std::string m_bytes;
};

void PgCheck(PGresult* r, ExecStatusType want, const char* what) {
    if (PQresultStatus(r) != want) Fail(std::string(what) + ": " + PQresultErrorMessage(r));
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
        w.Int32(4), w.Int32(DaysSince1970(id) - 10957);
        w.Field(kName.data(), kName.size());
        w.Field(kNote.data(), kNote.size());
        w.Field(kBlob, sizeof kBlob);
        if ((id & 1) != 0) w.Int32(-1);
        else w.Int32(4), w.Int32(static_cast<int32_t>(id));
        if (w.Bytes().size() >= (1u << 20)) {
            if (PQputCopyData(pg, w.Bytes().data(), static_cast<int>(w.Bytes().size())) != 1) Fail(PQerrorMessage(pg));
            w.Bytes().clear();
        }
    }
    w.Int16(-1);
    if (PQputCopyData(pg, w.Bytes().data(), static_cast<int>(w.Bytes().size())) != 1 || PQputCopyEnd(pg, nullptr) != 1)
        Fail(PQerrorMessage(pg));
    PgCheck(PQgetResult(pg), PGRES_COMMAND_OK, "COPY end");
    while (PGresult* r = PQgetResult(pg)) PQclear(r);
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::Arg(argc, argv, 1, 10'000'000);
    const int rounds = static_cast<int>(sidebyside::Arg(argc, argv, 2, 5));

    sidebyside::LibraryServer server;
    const pid_t serverPid = sidebyside::ServerPid();
    Engine engine(server.Directory() + "/anchor.duckdb");
    kelvotest::ScrubPgEnvironment();
    const auto& cluster = kelvotest::PostgresCluster::Shared();
    const std::string conninfo = "host=" + cluster.SocketDir() + " port=" + cluster.PortText() + " user=" +
                                 kelvotest::PostgresCluster::kAdminUser + " dbname=" +
                                 kelvotest::PostgresCluster::kDatabase;
    PGconn* pg = PQconnectdb(conninfo.c_str());
    if (PQstatus(pg) != CONNECTION_OK) Fail(PQerrorMessage(pg));
    PgCheck(PQexec(pg, "SET client_min_messages = warning"), PGRES_COMMAND_OK, "SET");

    std::vector<double> ours, rowAppender, vectorAppend, copyBinary, peakMiB;
    for (int round = 0; round < rounds; ++round) {
        server.Execute("DROP TABLE IF EXISTS mixed");
        server.Execute(kTable);
        sidebyside::ResetPeakMemory(serverPid);
        ours.push_back(sidebyside::Seconds([&] { LoadThroughLibrary(server.Connection(), rows); }));
        peakMiB.push_back(static_cast<double>(sidebyside::MemoryKiB(serverPid, "VmHWM:")) / 1024);

        engine.Execute("DROP TABLE IF EXISTS mixed");
        engine.Execute(kEngineTable);
        rowAppender.push_back(sidebyside::Seconds([&] { LoadThroughRowAppender(engine, rows); }));
        engine.Execute("DROP TABLE IF EXISTS mixed");
        engine.Execute(kEngineTable);
        vectorAppend.push_back(sidebyside::Seconds([&] { LoadThroughVectorAppend(engine, rows); }));

        PgCheck(PQexec(pg, "DROP TABLE IF EXISTS mixed"), PGRES_COMMAND_OK, "DROP");
        PgCheck(PQexec(pg, kTable), PGRES_COMMAND_OK, "CREATE");
        copyBinary.push_back(sidebyside::Seconds([&] { LoadThroughPostgresCopy(pg, rows); }));
        std::printf("round %d: library %.3f s, row appender %.3f s, vector append %.3f s, COPY BINARY %.3f s, "
                    "server peak %.0f MiB\n",
                    round + 1, ours.back(), rowAppender.back(), vectorAppend.back(), copyBinary.back(),
                    peakMiB.back());
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

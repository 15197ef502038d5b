// Load road: N rows of a 10-column mixed table through the inserter buffer
// into the server, against the same rows through the engine's row appender,
// its vector (data chunk) append and its fastest in-process ingest (a table
// function feeding one INSERT ... SELECT from several threads) in this
// process (into a database file, committed), and through PostgreSQL 15
// COPY ... (FORMAT binary) into a private cluster. Also the server's peak
// memory during each load.
//
//   load_side_by_side [rows=10000000] [rounds=5] [feed threads=cores] [anchors: all|feed]
//
// With "feed" only the inserter buffer and the table-function ingest run.
#include <libpq-fe.h>

#include <cstring>
#include <thread>

#include "engine_database.h"
#include "inserter_load.h"
#include "mixed_chunk.h"
#include "mixed_feed.h"
#include "postgres_copy.h"
#include "side_by_side.h"
#include "support/mixed_table.h"

namespace {

using kelvobench::kMixedBlob;
using kelvobench::kMixedName;
using kelvobench::kMixedNote;
using kelvobench::kMixedTable;
using sidebyside::EngineDatabase;
using sidebyside::Fail;
using sidebyside::FillMixedChunk;
using sidebyside::kMixedEngineTable;
using sidebyside::MixedDaysSince1970;
using sidebyside::NewMixedChunk;
using sidebyside::PgCheck;

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

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::ArgOr(argc, argv, 1, 10'000'000);
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 5));
    const int feedThreads =
        static_cast<int>(sidebyside::ArgOr(argc, argv, 3, std::max(1u, std::thread::hardware_concurrency())));
    const bool all = argc <= 4 || std::strcmp(argv[4], "feed") != 0;

    sidebyside::LibraryServer server;
    const pid_t serverPid = server.Pid();
    EngineDatabase engine(server.Directory() + "/anchor.duckdb");
    sidebyside::RegisterMixedFeed(engine.Connection());
    // The anchor's engine is this program's own: nothing else shares the setting.
    engine.Execute("SET preserve_insertion_order = false");
    PGconn* pg = all ? sidebyside::ConnectToPostgres() : nullptr;

    std::vector<double> ours, rowAppender, vectorAppend, feed, copyBinary, peakMiB;
    for (int round = 0; round < rounds; ++round) {
        server.Execute("DROP TABLE IF EXISTS mixed");
        server.Execute(kMixedTable);
        sidebyside::ResetPeakMemory(serverPid);
        ours.push_back(sidebyside::Seconds([&] { sidebyside::LoadThroughLibrary(server.Connection(), rows); }));
        peakMiB.push_back(static_cast<double>(sidebyside::MemoryKiB(serverPid, "VmHWM:")) / 1024);

        engine.Execute("DROP TABLE IF EXISTS mixed");
        engine.Execute(kMixedEngineTable);
        engine.Execute("CHECKPOINT");
        feed.push_back(sidebyside::Seconds([&] { engine.Execute(sidebyside::MixedFeedInsert(rows, feedThreads)); }));
        if (all) {
            engine.Execute("DROP TABLE IF EXISTS mixed");
            engine.Execute(kMixedEngineTable);
            rowAppender.push_back(sidebyside::Seconds([&] { LoadThroughRowAppender(engine, rows); }));
            engine.Execute("DROP TABLE IF EXISTS mixed");
            engine.Execute(kMixedEngineTable);
            vectorAppend.push_back(sidebyside::Seconds([&] { LoadThroughVectorAppend(engine, rows); }));

            PgCheck(PQexec(pg, "DROP TABLE IF EXISTS mixed"), PGRES_COMMAND_OK, "DROP");
            PgCheck(PQexec(pg, kMixedTable), PGRES_COMMAND_OK, "CREATE");
            copyBinary.push_back(sidebyside::Seconds([&] { sidebyside::LoadThroughPostgresCopy(pg, rows); }));
            std::printf(
                "round %d: library %.3f s, table-function ingest %.3f s, row appender %.3f s, vector append %.3f s, "
                "COPY BINARY %.3f s, server peak %.0f MiB\n",
                round + 1, ours.back(), feed.back(), rowAppender.back(), vectorAppend.back(), copyBinary.back(),
                peakMiB.back());
        } else {
            std::printf("round %d: library %.3f s, table-function ingest %.3f s, server peak %.0f MiB\n", round + 1,
                        ours.back(), feed.back(), peakMiB.back());
        }
        std::fflush(stdout);
    }
    if (pg != nullptr)
        PQfinish(pg);
    const double t = sidebyside::Median(ours);
    std::printf("\nload %lld rows x 10 columns, median of %d rounds (speed ratio = anchor time / library time)\n",
                static_cast<long long>(rows), rounds);
    if (all) {
        sidebyside::PrintRatio("inserter buffer -> kelvod", "engine row appender", t, sidebyside::Median(rowAppender));
        sidebyside::PrintRatio("inserter buffer -> kelvod", "engine vector append", t,
                               sidebyside::Median(vectorAppend));
        sidebyside::PrintRatio("inserter buffer -> kelvod", "PostgreSQL 15 COPY BINARY", t,
                               sidebyside::Median(copyBinary));
    }
    const std::string feedName = "table function, " + std::to_string(feedThreads) + " threads";
    sidebyside::PrintRatio("inserter buffer -> kelvod", feedName.c_str(), t, sidebyside::Median(feed));
    std::printf("wall ratio to the table-function ingest (library time / anchor time): %.2fx\n",
                t / sidebyside::Median(feed));
    std::printf("library rows/s %.2f M; server peak memory during the load: median %.0f MiB\n",
                static_cast<double>(rows) / t / 1e6, sidebyside::Median(peakMiB));
    return 0;
}

// How to feed the engine from several threads, against libduckdb alone: the
// 10-column rows of load_side_by_side, produced by T threads (standing in
// for KLVCPY decoding) and stored in a database file, committed:
//   vector: one appender, data chunks (the server's road today);
//   scan:   a table function whose global state hands out 2048-row pieces to
//           up to T threads, behind INSERT INTO ... SELECT, with the insertion
//           order kept and without it (preserve_insertion_order);
//   appenders: T connections with an appender each (T commits: not atomic).
//
//   parallel_feed_prototype [rows=10000000] [threads=4] [rounds=3] [only this mode: 0-3]
#include <duckdb.h>

#include <cstring>
#include <functional>
#include <thread>

#include "mixed_chunk.h"
#include "mixed_feed.h"
#include "side_by_side.h"

namespace {

using sidebyside::Fail;
using sidebyside::FillMixedChunk;
using sidebyside::NewMixedChunk;

void Run(duckdb_connection conn, const std::string& sql) {
    duckdb_result r;
    if (duckdb_query(conn, sql.c_str(), &r) == DuckDBError)
        Fail(sql + ": " + duckdb_result_error(&r));
    duckdb_destroy_result(&r);
}

void AppendRange(duckdb_connection conn, int64_t first, int64_t last) {
    duckdb_appender a = nullptr;
    if (duckdb_appender_create(conn, nullptr, "mixed", &a) == DuckDBError)
        Fail("appender");
    duckdb_data_chunk chunk = NewMixedChunk();
    const auto capacity = static_cast<int64_t>(duckdb_vector_size());
    for (int64_t at = first; at < last; at += capacity) {
        FillMixedChunk(chunk, at, std::min(capacity, last - at));
        if (duckdb_append_data_chunk(a, chunk) == DuckDBError)
            Fail(duckdb_appender_error(a));
        duckdb_data_chunk_reset(chunk);
    }
    if (duckdb_appender_destroy(&a) == DuckDBError)
        Fail("appender flush");
    duckdb_destroy_data_chunk(&chunk);
}

int64_t Count(duckdb_connection conn) {
    duckdb_result r;
    if (duckdb_query(conn, "SELECT count(*) FROM mixed", &r) == DuckDBError)
        Fail("count");
    const int64_t n = duckdb_value_int64(&r, 0, 0);
    duckdb_destroy_result(&r);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = sidebyside::ArgOr(argc, argv, 1, 10'000'000);
    const int threads = static_cast<int>(sidebyside::ArgOr(argc, argv, 2, 4));
    const int rounds = static_cast<int>(sidebyside::ArgOr(argc, argv, 3, 3));
    const long only = sidebyside::ArgOr(argc, argv, 4, -1);
    const std::string dir = kelvotest::MakeTempDirectory();
    duckdb_database db = nullptr;
    duckdb_connection conn = nullptr;
    if (duckdb_open((dir + "/feed.duckdb").c_str(), &db) == DuckDBError || duckdb_connect(db, &conn) == DuckDBError)
        Fail("open");
    Run(conn, "SET threads = " + std::to_string(threads));
    sidebyside::RegisterMixedFeed(conn);
    const std::string feed = sidebyside::MixedFeedInsert(rows, threads);

    struct Mode {
        const char* name;
        std::function<void()> run;
        std::vector<double> seconds;
    };
    std::vector<Mode> modes;
    modes.push_back({"vector (one appender)", [&] { AppendRange(conn, 0, rows); }, {}});
    modes.push_back({"scan, order kept",
                     [&] {
                         Run(conn, "SET preserve_insertion_order = true");
                         Run(conn, feed);
                     },
                     {}});
    modes.push_back({"scan, order free",
                     [&] {
                         Run(conn, "SET preserve_insertion_order = false");
                         Run(conn, feed);
                     },
                     {}});
    modes.push_back({"appender per thread",
                     [&] {
                         std::vector<std::thread> workers;
                         for (int t = 0; t < threads; ++t)
                             workers.emplace_back([&, t] {
                                 duckdb_connection own = nullptr;
                                 if (duckdb_connect(db, &own) == DuckDBError)
                                     Fail("connect");
                                 AppendRange(own, rows * t / threads, rows * (t + 1) / threads);
                                 duckdb_disconnect(&own);
                             });
                         for (auto& w : workers)
                             w.join();
                     },
                     {}});
    if (only >= 0 && only < static_cast<long>(modes.size()))
        modes = {modes[static_cast<size_t>(only)]};
    for (int round = 0; round < rounds; ++round) {
        for (auto& m : modes) {
            Run(conn, "DROP TABLE IF EXISTS mixed");
            Run(conn, sidebyside::kMixedEngineTable);
            Run(conn, "CHECKPOINT");
            m.seconds.push_back(sidebyside::Seconds(m.run));
            if (Count(conn) != rows)
                Fail(std::string(m.name) + " stored the wrong count");
        }
    }
    // Ratios are to the first mode run (the vector append unless one mode is chosen).
    const double base = sidebyside::Median(modes[0].seconds);
    std::printf("%lld rows x 10 columns, %d threads, median of %d rounds\n", static_cast<long long>(rows), threads,
                rounds);
    for (auto& m : modes)
        std::printf("%-24s %8.3f s  %5.2fx the vector append  %.2f M rows/s\n", m.name, sidebyside::Median(m.seconds),
                    base / sidebyside::Median(m.seconds),
                    static_cast<double>(rows) / sidebyside::Median(m.seconds) / 1e6);
    duckdb_disconnect(&conn);
    duckdb_close(&db);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}

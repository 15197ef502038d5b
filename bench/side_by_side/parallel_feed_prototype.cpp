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

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "mixed_chunk.h"
#include "side_by_side.h"

namespace {

using sidebyside::Fail;
using sidebyside::FillMixedChunk;
using sidebyside::kMixedEngineTypes;
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

// The table function feed(): rows and threads come from the bind data of the
// statement's one call; the global state hands out pieces.
struct FeedBind {
    int64_t rows;
    int64_t threads;
};
struct FeedGlobal {
    std::atomic<int64_t> next{0};
};

void FeedBindCallback(duckdb_bind_info info) {
    for (int c = 0; c < 10; ++c) {
        duckdb_logical_type t = duckdb_create_logical_type(kMixedEngineTypes[c]);
        const char* names[10] = {"id", "i", "s", "f", "d", "dt", "name", "note", "blob", "opt"};
        duckdb_bind_add_result_column(info, names[c], t);
        duckdb_destroy_logical_type(&t);
    }
    auto* bind = new FeedBind{};
    duckdb_value rows = duckdb_bind_get_parameter(info, 0);
    duckdb_value threads = duckdb_bind_get_parameter(info, 1);
    bind->rows = duckdb_get_int64(rows);
    bind->threads = duckdb_get_int64(threads);
    duckdb_destroy_value(&rows);
    duckdb_destroy_value(&threads);
    duckdb_bind_set_bind_data(info, bind, [](void* p) { delete static_cast<FeedBind*>(p); });
}

void FeedInitCallback(duckdb_init_info info) {
    auto* bind = static_cast<FeedBind*>(duckdb_init_get_bind_data(info));
    duckdb_init_set_init_data(info, new FeedGlobal{}, [](void* p) { delete static_cast<FeedGlobal*>(p); });
    duckdb_init_set_max_threads(info, static_cast<idx_t>(bind->threads));
}

void FeedScanCallback(duckdb_function_info info, duckdb_data_chunk output) {
    auto* bind = static_cast<FeedBind*>(duckdb_function_get_bind_data(info));
    auto* global = static_cast<FeedGlobal*>(duckdb_function_get_init_data(info));
    const auto capacity = static_cast<int64_t>(duckdb_vector_size());
    const int64_t first = global->next.fetch_add(capacity);
    if (first >= bind->rows) {
        duckdb_data_chunk_set_size(output, 0);
        return;
    }
    FillMixedChunk(output, first, std::min(capacity, bind->rows - first));
}

void RegisterFeed(duckdb_connection conn) {
    duckdb_table_function f = duckdb_create_table_function();
    duckdb_table_function_set_name(f, "feed");
    duckdb_logical_type bigint = duckdb_create_logical_type(DUCKDB_TYPE_BIGINT);
    duckdb_table_function_add_parameter(f, bigint);
    duckdb_table_function_add_parameter(f, bigint);
    duckdb_destroy_logical_type(&bigint);
    duckdb_table_function_set_bind(f, FeedBindCallback);
    duckdb_table_function_set_init(f, FeedInitCallback);
    duckdb_table_function_set_function(f, FeedScanCallback);
    if (duckdb_register_table_function(conn, f) == DuckDBError)
        Fail("register feed");
    duckdb_destroy_table_function(&f);
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
    RegisterFeed(conn);
    const std::string feed =
        "INSERT INTO mixed SELECT * FROM feed(" + std::to_string(rows) + ", " + std::to_string(threads) + ")";

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

// The engine's fastest in-process ingest, as the load programs use it for an
// anchor: the C table function feed(rows, threads), whose global state hands
// out 2048-row pieces of the mixed table to up to `threads` scan threads, so
// that one INSERT INTO ... SELECT * FROM feed(...) fills the table from
// several threads at once. Shared by load_side_by_side and the parallel-feed
// prototype.
#pragma once

#include <duckdb.h>

#include <atomic>
#include <string>

#include "mixed_chunk.h"
#include "side_by_side.h"

namespace sidebyside {

namespace mixedfeed {

struct Bind {
    int64_t rows;
    int64_t threads;
};
struct Global {
    std::atomic<int64_t> next{0};
};

inline void BindCallback(duckdb_bind_info info) {
    const char* names[10] = {"id", "i", "s", "f", "d", "dt", "name", "note", "blob", "opt"};
    for (int c = 0; c < 10; ++c) {
        duckdb_logical_type t = duckdb_create_logical_type(kMixedEngineTypes[c]);
        duckdb_bind_add_result_column(info, names[c], t);
        duckdb_destroy_logical_type(&t);
    }
    auto* bind = new Bind{};
    duckdb_value rows = duckdb_bind_get_parameter(info, 0);
    duckdb_value threads = duckdb_bind_get_parameter(info, 1);
    bind->rows = duckdb_get_int64(rows);
    bind->threads = duckdb_get_int64(threads);
    duckdb_destroy_value(&rows);
    duckdb_destroy_value(&threads);
    duckdb_bind_set_bind_data(info, bind, [](void* p) { delete static_cast<Bind*>(p); });
}

inline void InitCallback(duckdb_init_info info) {
    auto* bind = static_cast<Bind*>(duckdb_init_get_bind_data(info));
    duckdb_init_set_init_data(info, new Global{}, [](void* p) { delete static_cast<Global*>(p); });
    duckdb_init_set_max_threads(info, static_cast<idx_t>(bind->threads));
}

inline void ScanCallback(duckdb_function_info info, duckdb_data_chunk output) {
    auto* bind = static_cast<Bind*>(duckdb_function_get_bind_data(info));
    auto* global = static_cast<Global*>(duckdb_function_get_init_data(info));
    const auto capacity = static_cast<int64_t>(duckdb_vector_size());
    const int64_t first = global->next.fetch_add(capacity);
    if (first >= bind->rows) {
        duckdb_data_chunk_set_size(output, 0);
        return;
    }
    FillMixedChunk(output, first, std::min(capacity, bind->rows - first));
}

}  // namespace mixedfeed

inline void RegisterMixedFeed(duckdb_connection conn) {
    duckdb_table_function f = duckdb_create_table_function();
    duckdb_table_function_set_name(f, "feed");
    duckdb_logical_type bigint = duckdb_create_logical_type(DUCKDB_TYPE_BIGINT);
    duckdb_table_function_add_parameter(f, bigint);
    duckdb_table_function_add_parameter(f, bigint);
    duckdb_destroy_logical_type(&bigint);
    duckdb_table_function_set_bind(f, mixedfeed::BindCallback);
    duckdb_table_function_set_init(f, mixedfeed::InitCallback);
    duckdb_table_function_set_function(f, mixedfeed::ScanCallback);
    if (duckdb_register_table_function(conn, f) == DuckDBError)
        Fail("register feed");
    duckdb_destroy_table_function(&f);
}

// The statement that loads rows [0, rows) into the table `mixed` from `threads` threads.
inline std::string MixedFeedInsert(int64_t rows, int threads) {
    return "INSERT INTO mixed SELECT * FROM feed(" + std::to_string(rows) + ", " + std::to_string(threads) + ")";
}

}  // namespace sidebyside

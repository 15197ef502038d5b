// The anchor of the read programs: the table of library_read.h read in this
// process through the engine's streaming scan by one consumer, every value
// touched.
#pragma once

#include <duckdb.h>

#include <string>

#include "side_by_side.h"

namespace sidebyside {

inline uint64_t StreamingScan(duckdb_connection conn, int64_t expected) {
    duckdb_prepared_statement stmt = nullptr;
    duckdb_pending_result pending = nullptr;
    duckdb_result result;
    if (duckdb_prepare(conn, "SELECT a, b, c FROM r", &stmt) == DuckDBError)
        Fail("prepare");
    if (duckdb_pending_prepared_streaming(stmt, &pending) == DuckDBError)
        Fail("pending");
    if (duckdb_execute_pending(pending, &result) == DuckDBError)
        Fail(duckdb_result_error(&result));
    uint64_t checksum = 0;
    int64_t rows = 0;
    while (duckdb_data_chunk chunk = duckdb_fetch_chunk(result)) {
        const idx_t n = duckdb_data_chunk_get_size(chunk);
        auto* a = static_cast<int64_t*>(duckdb_vector_get_data(duckdb_data_chunk_get_vector(chunk, 0)));
        auto* b = static_cast<double*>(duckdb_vector_get_data(duckdb_data_chunk_get_vector(chunk, 1)));
        auto* c = static_cast<duckdb_string_t*>(duckdb_vector_get_data(duckdb_data_chunk_get_vector(chunk, 2)));
        for (idx_t i = 0; i < n; ++i) {
            const uint32_t length = duckdb_string_t_length(c[i]);
            checksum += 16 + length + static_cast<uint8_t>(a[i]) + static_cast<uint64_t>(b[i] > 0) +
                        static_cast<uint8_t>(duckdb_string_t_data(&c[i])[0]);
        }
        rows += static_cast<int64_t>(n);
        duckdb_destroy_data_chunk(&chunk);
    }
    duckdb_destroy_result(&result);
    duckdb_destroy_pending(&pending);
    duckdb_destroy_prepare(&stmt);
    if (rows != expected)
        Fail("the engine read " + std::to_string(rows) + " rows");
    return checksum;
}

}  // namespace sidebyside

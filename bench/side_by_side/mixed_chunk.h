// The 10-column mixed table of support/mixed_table.h as the engine sees it:
// its CREATE TABLE, its column types, and its rows written straight into an
// engine data chunk. Shared by the load program and the parallel-feed
// prototype, so that both store the same rows.
#pragma once

#include <duckdb.h>

#include <algorithm>
#include <cstdint>

#include "support/mixed_table.h"

namespace sidebyside {

inline const char* const kMixedEngineTable =
    "CREATE TABLE mixed (id BIGINT NOT NULL, i INTEGER, s SMALLINT, f BOOLEAN, d DOUBLE, dt DATE, name VARCHAR, "
    "note VARCHAR, blob BLOB, opt INTEGER)";

inline const duckdb_type kMixedEngineTypes[10] = {
    DUCKDB_TYPE_BIGINT, DUCKDB_TYPE_INTEGER, DUCKDB_TYPE_SMALLINT, DUCKDB_TYPE_BOOLEAN, DUCKDB_TYPE_DOUBLE,
    DUCKDB_TYPE_DATE,   DUCKDB_TYPE_VARCHAR, DUCKDB_TYPE_VARCHAR,  DUCKDB_TYPE_BLOB,    DUCKDB_TYPE_INTEGER};

// Row `id`'s date, 2024-(1 + id % 12)-01, in days since 1970-01-01.
inline int32_t MixedDaysSince1970(int64_t id) {
    static const int32_t days[12] = {19723, 19754, 19783, 19814, 19844, 19875,
                                     19905, 19936, 19967, 19997, 20028, 20058};
    return days[id % 12];
}

// An empty chunk of the table's columns; the caller destroys it.
inline duckdb_data_chunk NewMixedChunk() {
    duckdb_logical_type types[10];
    for (int c = 0; c < 10; ++c)
        types[c] = duckdb_create_logical_type(kMixedEngineTypes[c]);
    duckdb_data_chunk chunk = duckdb_create_data_chunk(types, 10);
    for (auto& t : types)
        duckdb_destroy_logical_type(&t);
    return chunk;
}

// Fills rows [first, first + n) into the chunk and sets its size to n.
inline void FillMixedChunk(duckdb_data_chunk chunk, int64_t first, int64_t n) {
    using namespace kelvobench;
    duckdb_vector v[10];
    for (int c = 0; c < 10; ++c)
        v[c] = duckdb_data_chunk_get_vector(chunk, c);
    auto* id = static_cast<int64_t*>(duckdb_vector_get_data(v[0]));
    auto* i = static_cast<int32_t*>(duckdb_vector_get_data(v[1]));
    auto* s = static_cast<int16_t*>(duckdb_vector_get_data(v[2]));
    auto* f = static_cast<bool*>(duckdb_vector_get_data(v[3]));
    auto* d = static_cast<double*>(duckdb_vector_get_data(v[4]));
    auto* dt = static_cast<duckdb_date*>(duckdb_vector_get_data(v[5]));
    auto* opt = static_cast<int32_t*>(duckdb_vector_get_data(v[9]));
    duckdb_vector_ensure_validity_writable(v[9]);
    uint64_t* optValid = duckdb_vector_get_validity(v[9]);
    const auto* blob = reinterpret_cast<const char*>(kMixedBlob);
    for (int64_t r = 0; r < n; ++r) {
        const int64_t row = first + r;
        id[r] = row;
        i[r] = static_cast<int32_t>(row);
        s[r] = static_cast<int16_t>(row);
        f[r] = (row & 1) != 0;
        d[r] = static_cast<double>(row) * 0.25;
        dt[r] = duckdb_date{MixedDaysSince1970(row)};
        duckdb_vector_assign_string_element_len(v[6], r, kMixedName.data(), kMixedName.size());
        duckdb_vector_assign_string_element_len(v[7], r, kMixedNote.data(), kMixedNote.size());
        duckdb_vector_assign_string_element_len(v[8], r, blob, sizeof kMixedBlob);
        opt[r] = static_cast<int32_t>(row);
        duckdb_validity_set_row_validity(optValid, r, (row & 1) == 0);
    }
    duckdb_data_chunk_set_size(chunk, n);
}

}  // namespace sidebyside

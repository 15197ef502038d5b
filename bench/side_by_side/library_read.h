// The read the read programs time: every row of `SELECT a, b, c FROM r`
// (BIGINT, DOUBLE, VARCHAR) chunk by chunk in the binary format through the
// library, every field touched; and the table they read, filled alike on
// both sides.
#pragma once

#include <chrono>
#include <string>

#include "side_by_side.h"

namespace sidebyside {

inline const char* const kReadTable = "CREATE TABLE r (a BIGINT, b DOUBLE PRECISION, c VARCHAR)";

inline std::string FillReadTable(int64_t rows) {
    return "INSERT INTO r SELECT i, i * 0.5, 'value ' || i FROM range(" + std::to_string(rows) + ") t(i)";
}

// A caller busy with each chunk for `spinMicroseconds` is the case prefetching is for.
inline uint64_t ReadThroughLibrary(kelvo_connection_t* conn, int64_t expected, long spinMicroseconds = 0) {
    kelvo_rowset_t* rowset = nullptr;
    Check(kelvo_execute_query_params(conn, "SELECT a, b, c FROM r", KELVO_ROWSET_RESULT_FORMAT_KELVO_BINARY, &rowset),
          "query");
    uint64_t checksum = 0;
    int64_t rows = 0;
    for (;;) {
        kelvo_rowset_chunk_t* chunk = nullptr;
        Check(kelvo_rowset_get_next_chunk(rowset, &chunk), "next chunk");
        if (chunk == nullptr)
            break;
        size_t cols = 0, count = 0;
        const uint8_t* const* values = nullptr;
        const size_t* sizes = nullptr;
        const int8_t* nulls = nullptr;
        Check(kelvo_rowset_chunk_field_values(chunk, &cols, &count, &values, &sizes, &nulls), "field values");
        for (size_t i = 0; i < cols * count; ++i)
            checksum += sizes[i] + (sizes[i] > 0 ? values[i][0] : 0);
        rows += static_cast<int64_t>(count);
        kelvo_destroy_rowset_chunk(chunk);
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(spinMicroseconds);
        while (spinMicroseconds > 0 && std::chrono::steady_clock::now() < until) {
        }
    }
    kelvo_close_rowset(rowset);
    if (rows != expected)
        Fail("the library read " + std::to_string(rows) + " rows");
    return checksum;
}

}  // namespace sidebyside

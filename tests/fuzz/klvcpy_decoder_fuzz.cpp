// The server's KLVCPY cutter and decoder on hostile rows: the first byte picks
// the target columns and where to cut the stream, the rest follows the header.
// Every row the cutter takes the decoder decodes, in pieces numbered without
// a gap, and wherever the stream was cut the count is the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kelvod/klvcpy_decoder.h"
#include "kelvod/sql_lexer.h"

namespace {

using kelvod::CopyColumn;

// The column sets the first byte picks from.
std::vector<CopyColumn> Columns(int pick) {
    struct Spec {
        duckdb_type type;
        bool nullable;
        uint8_t width = 0, scale = 0;
    };
    static const std::vector<std::vector<Spec>> picks = {
        {{DUCKDB_TYPE_INTEGER, true}, {DUCKDB_TYPE_VARCHAR, true}},
        {{DUCKDB_TYPE_BIGINT, false}, {DUCKDB_TYPE_BLOB, false}, {DUCKDB_TYPE_BOOLEAN, true}},
        {{DUCKDB_TYPE_DECIMAL, true, 18, 3}, {DUCKDB_TYPE_DECIMAL, true, 38, 10}},
        {{DUCKDB_TYPE_DATE, true}, {DUCKDB_TYPE_TIMESTAMP, true}, {DUCKDB_TYPE_TIME, true}},
        {{DUCKDB_TYPE_INTERVAL, true}, {DUCKDB_TYPE_HUGEINT, false}, {DUCKDB_TYPE_DOUBLE, true}},
        {{DUCKDB_TYPE_VARCHAR, false}},
        {{DUCKDB_TYPE_SMALLINT, true}, {DUCKDB_TYPE_TINYINT, false}, {DUCKDB_TYPE_FLOAT, true}},
        {{DUCKDB_TYPE_TIMESTAMP_TZ, true}, {DUCKDB_TYPE_UINTEGER, true}, {DUCKDB_TYPE_USMALLINT, true}},
    };
    std::vector<CopyColumn> columns;
    for (const Spec& s : picks.at(static_cast<size_t>(pick))) {
        CopyColumn c;
        c.name = "c";
        c.type = s.type;
        c.nullable = s.nullable;
        c.width = s.width;
        c.scale = s.scale;
        columns.push_back(c);
    }
    return columns;
}

// Rows taken (as the cutter counts them and as the decoder decodes them), or -1 when the stream was refused.
std::pair<int64_t, int64_t> Decode(int pick, const std::string& stream, size_t cut) {
    const std::vector<CopyColumn> columns = Columns(pick);
    std::vector<kelvod::RowPiece> pieces;
    // Small pieces, so that rows cross the cuts between them.
    kelvod::KlvcpyRowCutter cutter(columns, 64, true, [&](kelvod::RowPiece&& p) { pieces.push_back(std::move(p)); });
    try {
        cutter.Feed(stream.data(), cut);
        cutter.Feed(stream.data() + cut, stream.size() - cut);
        cutter.Finish();
    } catch (const kelvod::SqlError& e) {
        if (e.sqlstate.empty())
            __builtin_trap();
        return {-1, -1};
    }
    std::vector<duckdb_logical_type> types;
    for (const auto& c : columns)
        types.push_back(kelvod::CopyColumnLogicalType(c));
    duckdb_data_chunk chunk = duckdb_create_data_chunk(types.data(), types.size());
    // The values were checked while cutting: checking them again finds nothing.
    kelvod::KlvcpyRowDecoder decoder(columns, true);
    int64_t decoded = 0;
    uint64_t next = 0;
    for (const auto& p : pieces) {
        if (p.firstRow != next || p.rows == 0)
            __builtin_trap();
        next += p.rows;
        const auto* at = reinterpret_cast<const uint8_t*>(p.bytes.data());
        const uint8_t* end = at + p.bytes.size();
        uint64_t row = p.firstRow;
        while (at < end) {
            duckdb_data_chunk_reset(chunk);
            idx_t n = 0;
            try {
                at = decoder.Decode(at, end, chunk, 0, duckdb_vector_size(), row, n);
            } catch (const kelvod::SqlError&) {
                __builtin_trap();
            }
            if (n == 0)
                __builtin_trap();
            row += n;
            decoded += static_cast<int64_t>(n);
        }
    }
    duckdb_destroy_data_chunk(&chunk);
    for (auto& t : types)
        duckdb_destroy_logical_type(&t);
    return {static_cast<int64_t>(cutter.Rows()), decoded};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1 << 16)
        return 0;
    const std::string stream = std::string("KLVCPY", 6) + std::string(13, '\0') +
                               std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int pick = data[0] & 7;
    const size_t cut = (data[0] >> 3) * stream.size() / 31;
    const auto whole = Decode(pick, stream, stream.size());
    if (whole.first != whole.second || Decode(pick, stream, cut) != whole)
        __builtin_trap();
    return 0;
}

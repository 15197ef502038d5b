// The server's KLVCPY cutter and decoder on hostile rows: the first byte says where to cut the stream, the next ones
// pick the target columns (any count, type and nullability), the rest follows the header. Every row the cutter takes
// the decoder decodes, in pieces numbered without a gap, and wherever the stream was cut the same values arrive in the
// engine's vectors.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kelvod/loading/klvcpy_decoder.h"
#include "kelvod/sql/sql_lexer.h"

namespace {

using kelvod::CopyColumn;

struct TypeSpec {
    duckdb_type type;
    uint8_t width, scale;
    size_t vectorWidth;  // bytes of one value in the engine's vector; 0 for strings
};

const TypeSpec kTypes[] = {
    {DUCKDB_TYPE_BOOLEAN, 0, 0, 1},    {DUCKDB_TYPE_TINYINT, 0, 0, 1},      {DUCKDB_TYPE_UTINYINT, 0, 0, 1},
    {DUCKDB_TYPE_SMALLINT, 0, 0, 2},   {DUCKDB_TYPE_USMALLINT, 0, 0, 2},    {DUCKDB_TYPE_INTEGER, 0, 0, 4},
    {DUCKDB_TYPE_UINTEGER, 0, 0, 4},   {DUCKDB_TYPE_FLOAT, 0, 0, 4},        {DUCKDB_TYPE_BIGINT, 0, 0, 8},
    {DUCKDB_TYPE_DOUBLE, 0, 0, 8},     {DUCKDB_TYPE_DATE, 0, 0, 4},         {DUCKDB_TYPE_TIME, 0, 0, 8},
    {DUCKDB_TYPE_TIMESTAMP, 0, 0, 8},  {DUCKDB_TYPE_TIMESTAMP_TZ, 0, 0, 8}, {DUCKDB_TYPE_HUGEINT, 0, 0, 16},
    {DUCKDB_TYPE_INTERVAL, 0, 0, 16},  {DUCKDB_TYPE_VARCHAR, 0, 0, 0},      {DUCKDB_TYPE_BLOB, 0, 0, 0},
    {DUCKDB_TYPE_DECIMAL, 4, 1, 2},    {DUCKDB_TYPE_DECIMAL, 9, 2, 4},      {DUCKDB_TYPE_DECIMAL, 18, 3, 8},
    {DUCKDB_TYPE_DECIMAL, 38, 10, 16},
};
constexpr size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];

// What the decoder wrote, row by row: a mark for NULL, else the value's bytes.
std::string Render(duckdb_data_chunk chunk, const std::vector<const TypeSpec*>& specs, idx_t rows) {
    std::string out;
    for (idx_t row = 0; row < rows; ++row) {
        for (size_t i = 0; i < specs.size(); ++i) {
            duckdb_vector vector = duckdb_data_chunk_get_vector(chunk, i);
            uint64_t* validity = duckdb_vector_get_validity(vector);
            if (validity != nullptr && !duckdb_validity_row_is_valid(validity, row)) {
                out += "N|";
                continue;
            }
            const char* data = static_cast<const char*>(duckdb_vector_get_data(vector));
            if (specs[i]->vectorWidth == 0) {
                duckdb_string_t s;
                std::memcpy(&s, data + row * sizeof s, sizeof s);
                const uint32_t length = duckdb_string_t_length(s);
                out += "V" + std::to_string(length) + ":" + std::string(duckdb_string_t_data(&s), length) + "|";
            } else {
                out += "F" + std::string(data + row * specs[i]->vectorWidth, specs[i]->vectorWidth) + "|";
            }
        }
    }
    return out;
}

// "refused", or the count of rows decoded and their values.
std::string Decode(const std::vector<CopyColumn>& columns, const std::vector<const TypeSpec*>& specs,
                   const std::string& stream, size_t cut) {
    std::vector<kelvod::RowPiece> pieces;
    // Small pieces, so that rows cross the cuts between them.
    kelvod::KlvcpyRowCutter cutter(columns, 64, true, [&](kelvod::RowPiece&& p) { pieces.push_back(std::move(p)); });
    try {
        cutter.Feed(stream.data(), cut);
        cutter.Feed(stream.data() + cut, stream.size() - cut);
        cutter.Finish();
    } catch (const kelvod::SqlError& e) {
        TrapIf(e.sqlstate.empty());
        return "refused";
    }
    std::vector<duckdb_logical_type> types;
    for (const auto& c : columns)
        types.push_back(kelvod::CopyColumnLogicalType(c));
    duckdb_data_chunk chunk = duckdb_create_data_chunk(types.data(), types.size());
    // The values were checked while cutting: checking them again finds nothing.
    kelvod::KlvcpyRowDecoder decoder(columns, true);
    std::string values;
    uint64_t next = 0, decoded = 0;
    for (const auto& p : pieces) {
        TrapIf(p.firstRow != next || p.rows == 0);
        next += p.rows;
        const auto* at = reinterpret_cast<const uint8_t*>(p.bytes.data());
        const uint8_t* end = at + p.bytes.size();
        uint64_t row = p.firstRow;
        while (at < end) {
            duckdb_data_chunk_reset(chunk);
            idx_t n = 0;
            at = decoder.Decode(at, end, chunk, 0, duckdb_vector_size(), row, n);
            TrapIf(n == 0);
            values += Render(chunk, specs, n);
            row += n;
            decoded += n;
        }
        TrapIf(row != next);
    }
    duckdb_destroy_data_chunk(&chunk);
    for (auto& t : types)
        duckdb_destroy_logical_type(&t);
    TrapIf(decoded != cutter.Rows());
    return std::to_string(decoded) + ":" + values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 1 << 16)
        return 0;
    // Byte 1: the column count; then one byte per column: type and nullability.
    const size_t count = 1 + data[1] % 12;
    if (size < 2 + count)
        return 0;
    std::vector<CopyColumn> columns;
    std::vector<const TypeSpec*> specs;
    for (size_t i = 0; i < count; ++i) {
        const TypeSpec& spec = kTypes[(data[2 + i] & 0x7f) % kTypeCount];
        columns.push_back({"c" + std::to_string(i), spec.type, spec.width, spec.scale, (data[2 + i] & 0x80) == 0});
        specs.push_back(&spec);
    }
    const std::string stream = std::string("KLVCPY", 6) + std::string(13, '\0') +
                               std::string(reinterpret_cast<const char*>(data) + 2 + count, size - 2 - count);
    const size_t cut = data[0] * stream.size() / 255;
    const std::string whole = Decode(columns, specs, stream, stream.size());
    TrapIf(Decode(columns, specs, stream, cut) != whole);
    return 0;
}

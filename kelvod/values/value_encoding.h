// How engine values become result fields: the column's type OID, length and
// modifier, and each value as PostgreSQL's text output or as the bare
// little-endian binary form (format code 2).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "duckdb.h"
#include "kelvod/protocol/protocol_writer.h"

namespace kelvod {

constexpr int16_t kTextFormat = 0;
constexpr int16_t kBinaryFormat = 2;
// Julian day number of 1970-01-01, the engine's day 0.
constexpr int64_t kUnixEpochJulianDay = 2440588;
constexpr int64_t kMicrosPerDay = 86400000000LL;

// Whether values of this engine type can be sent as they are; others are cast to text first.
bool IsEncodableType(duckdb_logical_type type);

// Encodes the values of one result column.
class ColumnEncoder {
public:
    // The type is borrowed for the constructor only; extraFloatDigits is the
    // session's extra_float_digits (above 0: shortest exact output).
    explicit ColumnEncoder(duckdb_logical_type type, int extraFloatDigits = 1);
    ColumnDescription Describe(const std::string& name, int16_t format) const;
    // Appends field `row` of `vector` to the data row being written.
    void Write(ProtocolWriter& out, duckdb_vector vector, idx_t row, int16_t format) const;

    // A whole vector at a time, for the types whose fields need no formatting:
    // whether this column in this format is one of them,
    bool EncodesVectors(int16_t format) const;
    // adds the size of each row's field (its length word included) to `rowSizes`
    // and returns how many rows, from the first, have a value that can be encoded
    // (a binary date or timestamp out of range stops them),
    idx_t AddFieldSizes(duckdb_vector vector, idx_t count, int16_t format, uint64_t* rowSizes) const;
    // and writes each row's field at `cursors[row]`, moving the cursor past it.
    void WriteFields(duckdb_vector vector, idx_t count, int16_t format, char** cursors) const;

private:
    void WriteText(ProtocolWriter& out, const void* data, idx_t row) const;
    void WriteBinary(ProtocolWriter& out, const void* data, idx_t row) const;
    duckdb_type m_type;
    duckdb_type m_internal = DUCKDB_TYPE_INVALID;  // decimals and enums: the storage type
    uint8_t m_width = 0;
    uint8_t m_scale = 0;
    bool m_json = false;
    int m_extraFloatDigits = 1;
    std::vector<std::string> m_enumValues;
};

// PostgreSQL's text output of the engine's values.
std::string FormatDate(int32_t daysSinceEpoch);
std::string FormatTime(int64_t micros);
std::string FormatTimestamp(int64_t microsSinceEpoch, bool withZone);
std::string FormatInterval(int32_t months, int32_t days, int64_t micros);
std::string FormatDouble(double value, int extraFloatDigits = 1);
std::string FormatScaled(__int128 value, uint8_t scale);
std::string FormatBytea(const char* data, size_t size);

}  // namespace kelvod

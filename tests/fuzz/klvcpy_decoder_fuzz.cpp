// The server's KLVCPY decoder on hostile rows: the first byte picks the target
// columns and where to cut the stream, the rest follows the header. Every row
// the decoder counts reaches the sink, wherever the stream was cut.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kelvod/klvcpy_decoder.h"
#include "kelvod/sql_lexer.h"

namespace {

using kelvod::CopyColumn;

CopyColumn Column(duckdb_type type, bool nullable, uint8_t width = 0, uint8_t scale = 0) {
    CopyColumn c;
    c.name = "c";
    c.type = type;
    c.nullable = nullable;
    c.width = width;
    c.scale = scale;
    return c;
}

std::vector<CopyColumn> Columns(int pick) {
    switch (pick) {
    case 0: return {Column(DUCKDB_TYPE_INTEGER, true), Column(DUCKDB_TYPE_VARCHAR, true)};
    case 1: return {Column(DUCKDB_TYPE_BIGINT, false), Column(DUCKDB_TYPE_BLOB, false), Column(DUCKDB_TYPE_BOOLEAN, true)};
    case 2: return {Column(DUCKDB_TYPE_DECIMAL, true, 18, 3), Column(DUCKDB_TYPE_DECIMAL, true, 38, 10)};
    case 3: return {Column(DUCKDB_TYPE_DATE, true), Column(DUCKDB_TYPE_TIMESTAMP, true), Column(DUCKDB_TYPE_TIME, true)};
    case 4: return {Column(DUCKDB_TYPE_INTERVAL, true), Column(DUCKDB_TYPE_HUGEINT, false), Column(DUCKDB_TYPE_DOUBLE, true)};
    case 5: return {Column(DUCKDB_TYPE_VARCHAR, false)};
    case 6: return {Column(DUCKDB_TYPE_SMALLINT, true), Column(DUCKDB_TYPE_TINYINT, false), Column(DUCKDB_TYPE_FLOAT, true)};
    default: return {Column(DUCKDB_TYPE_TIMESTAMP_TZ, true), Column(DUCKDB_TYPE_UINTEGER, true), Column(DUCKDB_TYPE_USMALLINT, true)};
    }
}

// Rows decoded (as counted and as received), or -1 when the stream was refused.
std::pair<int64_t, int64_t> Decode(int pick, const std::string& stream, size_t cut) {
    int64_t received = 0;
    kelvod::KlvcpyDecoder decoder(Columns(pick), [&](duckdb_data_chunk& chunk) {
        received += static_cast<int64_t>(duckdb_data_chunk_get_size(chunk));
    });
    try {
        decoder.Feed(stream.data(), cut);
        decoder.Feed(stream.data() + cut, stream.size() - cut);
        decoder.Finish();
    } catch (const kelvod::SqlError& e) {
        if (e.sqlstate.empty()) __builtin_trap();
        return {-1, -1};
    }
    return {static_cast<int64_t>(decoder.Rows()), received};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1 << 16) return 0;
    const std::string stream =
        std::string("KLVCPY", 6) + std::string(13, '\0') + std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int pick = data[0] & 7;
    const size_t cut = (data[0] >> 3) * stream.size() / 31;
    const auto whole = Decode(pick, stream, stream.size());
    if (whole.first != whole.second || Decode(pick, stream, cut) != whole) __builtin_trap();
    return 0;
}

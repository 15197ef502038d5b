// Reads one KLVCPY copy stream (a 19-byte header once, then the cells of each
// row back to back) into the engine's data chunks. Pure parsing: the session
// feeds the bytes of each CopyData message as they come, split anywhere, and
// receives full chunks through a callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "duckdb.h"

namespace kelvod {

constexpr size_t kKlvcpyHeaderSize = 19;
// No single variable cell may exceed this: the engine's own bound on a value,
// and a bound on what one row may make the server buffer.
constexpr uint32_t kMaxVariableCell = 256u << 20;

// One target column: the engine type the cell is decoded into and whether
// the cell carries the null marker byte.
struct CopyColumn {
    std::string name;
    duckdb_type type = DUCKDB_TYPE_INVALID;
    uint8_t width = 0;  // decimals: precision
    uint8_t scale = 0;  // decimals: scale
    bool nullable = true;
};

// The column description of an engine logical type; throws SqlError 0A000 for
// types that have no cell encoding.
CopyColumn DescribeCopyColumn(const std::string& name, duckdb_logical_type type, bool nullable);
// A new logical type for the column, which the caller destroys.
duckdb_logical_type CopyColumnLogicalType(const CopyColumn& column);

class KlvcpyDecoder {
public:
    // Receives each full chunk. A sink that keeps the chunk takes it and sets
    // the argument to null; the decoder then starts a new one.
    using ChunkSink = std::function<void(duckdb_data_chunk&)>;
    KlvcpyDecoder(std::vector<CopyColumn> columns, ChunkSink sink);
    ~KlvcpyDecoder();
    KlvcpyDecoder(const KlvcpyDecoder&) = delete;
    KlvcpyDecoder& operator=(const KlvcpyDecoder&) = delete;

    // Decodes what is complete; keeps the bytes of an incomplete row. Throws
    // SqlError (22P04 for a malformed stream, 22P02/22021/22003/22008 for bad values).
    void Feed(const char* data, size_t size);
    // The end of the stream: throws 22P04 when the header or the last row is
    // incomplete; hands the last, partly filled chunk to the sink.
    void Finish();
    uint64_t Rows() const { return m_rows; }

private:
    // The byte length of the row starting at `p`, or 0 when it does not end before `end`.
    size_t MeasureRow(const uint8_t* p, const uint8_t* end) const;
    void DecodeRow(const uint8_t* p);
    size_t Consume(const uint8_t* data, size_t size);
    void EmitChunk();
    void BindVectors();

    std::vector<CopyColumn> m_columns;
    std::vector<size_t> m_fixedWidth;  // 0: variable
    std::vector<duckdb_logical_type> m_types;
    ChunkSink m_sink;
    duckdb_data_chunk m_chunk = nullptr;
    std::vector<duckdb_vector> m_vectors;
    std::vector<void*> m_data;
    idx_t m_fill = 0;
    std::string m_carry;  // the header or row begun in an earlier Feed
    bool m_headerSeen = false;
    uint64_t m_rows = 0;
};

}  // namespace kelvod

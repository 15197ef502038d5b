// Reads one KLVCPY copy stream (a 19-byte header once, then the cells of each
// row back to back) in two steps: the session cuts the bytes of its CopyData
// messages, split anywhere, into pieces of whole rows; the engine's scan
// threads decode the pieces straight into their output vectors. Pure parsing.
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

// Whole rows of one KLVCPY stream, as received, and the number of the first.
struct RowPiece {
    std::string bytes;
    uint64_t firstRow = 0;  // rows before this piece in its stream
    uint64_t rows = 0;
};

// Cuts the bytes of CopyData messages, split anywhere, into pieces of whole
// rows. It reads what framing needs (null markers and lengths), so that the
// values are decoded once, by whoever takes the pieces; with `checkValues` it
// also checks that each value fits its column, for rows that are decoded
// later than their COPY ends (external streams).
class KlvcpyRowCutter {
public:
    using PieceSink = std::function<void(RowPiece&&)>;
    KlvcpyRowCutter(std::vector<CopyColumn> columns, size_t pieceBytes, bool checkValues, PieceSink sink);

    // Hands on each piece that has reached `pieceBytes`; keeps an incomplete
    // row. Throws SqlError 22P04 for a malformed stream, and with `checkValues`
    // 22P02/22021/22003/22008 for bad values.
    void Feed(const char* data, size_t size);
    // The end of the stream: throws 22P04 when the header or the last row is
    // incomplete; hands on the last piece.
    void Finish();
    uint64_t Rows() const { return m_rows; }

private:
    // The byte length of the row starting at `p`, or 0 when it does not end before `end`.
    size_t MeasureRow(const uint8_t* p, const uint8_t* end) const;
    void MeasureRows();
    void Emit();

    std::vector<CopyColumn> m_columns;
    std::vector<size_t> m_fixedWidth;  // 0: variable
    std::vector<bool> m_checked;
    size_t m_pieceBytes;
    PieceSink m_sink;
    std::string m_header;
    bool m_headerSeen = false;
    RowPiece m_piece;
    size_t m_measured = 0;  // bytes of the piece that hold whole rows
    uint64_t m_rows = 0;
};

// Decodes the rows of pieces straight into the vectors of a data chunk. One
// decoder per thread; it keeps no state between calls. Values are checked
// unless the cutter checked them already.
class KlvcpyRowDecoder {
public:
    KlvcpyRowDecoder(const std::vector<CopyColumn>& columns, bool checkValues);
    // Decodes rows from `p` on into rows [first, capacity) of `chunk`, stopping at
    // `end`; returns where it stopped and adds the rows decoded to `count`.
    // `rowNumber` counts the rows before `p` in the stream, for error texts.
    // Throws SqlError (22P02/22021/22003/22008 for bad values, 22P04 for a row cut short).
    const uint8_t* Decode(const uint8_t* p, const uint8_t* end, duckdb_data_chunk chunk, idx_t first, idx_t capacity,
                          uint64_t rowNumber, idx_t& count) const;

private:
    // How a cell's value reaches the engine's vector.
    enum class CellKind : uint8_t {
        Copy1,
        Copy2,
        Copy4,
        Copy8,
        Copy16,  // bytes as they are
        Boolean,
        Date,
        Timestamp,
        Interval,
        Decimal2,
        Decimal4,  // a 64-bit cell narrowed to the decimal's storage
        Variable,  // text and bytes
    };
    // What the row loop reads per column, packed apart from the names.
    struct CellPlan {
        CellKind kind;
        uint8_t width;  // of a fixed cell
        bool nullable;
        bool checked;  // the value is checked before it is stored
    };
    class OutputColumns;

    static CellKind KindOf(const CopyColumn& column);
    static void StoreFixed(CellKind kind, void* data, idx_t row, const uint8_t* p);
    const uint8_t* DecodeRow(const uint8_t* p, const uint8_t* end, OutputColumns& out, idx_t row,
                             uint64_t rowNumber) const;
    const uint8_t* DecodeVariable(size_t column, const uint8_t* p, const uint8_t* end, OutputColumns& out, idx_t row,
                                  uint64_t rowNumber) const;

    const std::vector<CopyColumn>& m_columns;
    std::vector<CellPlan> m_cells;
};

}  // namespace kelvod

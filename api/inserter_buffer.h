// The row-by-row cell encoder in front of an inserter: appends one cell per
// call, in column order, to a data chunk in the copy format, and hands the
// chunk to its sink whenever a row ends with the chunk full. The first full
// chunk switches the inserter to bulk mode; a load that never fills a chunk
// leaves with the final flush through one plain COPY.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "api/chunk_sink.h"
#include "api/data_chunk.h"
#include "api/kelvobinary.h"
#include "api/little_endian.h"
#include "api/table_definition.h"

struct kelvo_inserter_buffer_t {};

namespace kelvoapi {

// Aligned so that the cell path's state below shares one cache line.
class alignas(64) InserterBuffer : public kelvo_inserter_buffer_t {
public:
    // Copies the definition and the select list. A definition without columns
    // is refused: no cell could ever be placed. Throws kelvoapi::Error or
    // std::bad_alloc.
    InserterBuffer(ChunkSink& inserter, const TableDefinition& tableDefinition, std::string selectList);
    // Holds a share of the inserter, which then lives as long as the buffer.
    InserterBuffer(std::shared_ptr<ChunkSink> inserter, const TableDefinition& tableDefinition, std::string selectList);
    InserterBuffer(const InserterBuffer&) = delete;
    InserterBuffer& operator=(const InserterBuffer&) = delete;

    // The NULL cell; refused for a NOT NULL column, whose cells carry no
    // marker, so a stray 0x01 would be read as a value and shift every later
    // cell of the stream.
    void addNull() {
        if (CurrentFacts().marker == 0) {
            ThrowNullInNotNullColumn();
        }
        Reserve(1);
        Commit(Place(1, PutNull));
    }
    // Each add refuses (42804) a cell that the current column's type does not
    // take: a cell of the wrong width would shift every later cell of the
    // stream, and the server would read other values than were meant.
    void addBool(bool value) { addFixed(Bool, BoolByte(value)); }
    void addInt16(int16_t value) { addFixed(Int16, value); }
    void addInt32(int32_t value) { addFixed(Int32, value); }
    // A Julian day number, for a DATE column only.
    void addDate(int32_t julianDay) { addFixed(Date, julianDay); }
    void addInt64(int64_t value) { addFixed(Int64, value); }
    // The binary64 bit pattern as an 8-byte cell.
    void addDouble(double value) { addFixed(Double, DoubleBits(value)); }
    // 32-bit length, then the bytes; a null value is taken for an empty one
    // only when its size is 0.
    void addBinary(const uint8_t* value, size_t size) {
        const ColumnFacts facts = CurrentFacts();
        if ((facts.takes & Binary) == 0) {
            ThrowWrongCell(Binary);
        }
        // The length field has 32 bits; a longer value would be cut short and
        // the rest of it read as further cells.
        if (size > std::numeric_limits<uint32_t>::max()) {
            ThrowValueTooLarge();
        }
        Reserve(facts.marker + 4 + size);
        Commit(Place(facts.marker + 4 + size, PutBinary{facts.marker, value, size}));
    }

    // The same adds without a throw, for the C exports' hot path: each writes
    // its cell only where the checked add above would write the same bytes
    // without refusing or growing the chunk, and otherwise leaves everything
    // as it was for the checked add to do (or refuse) the work.
    enum class Quick : uint8_t {
        Added,
        AddedChunkFull,  // the cell ended a row with the chunk full: SendFullChunk next
        NotTaken,
    };
    Quick quickAddNull() noexcept {
        if (CurrentFacts().marker == 0 || !QuickFits()) {
            return Quick::NotTaken;
        }
        return Place(1, PutNull);
    }
    Quick quickAddBool(bool value) noexcept { return quickAddFixed(Bool, BoolByte(value)); }
    Quick quickAddInt16(int16_t value) noexcept { return quickAddFixed(Int16, value); }
    Quick quickAddInt32(int32_t value) noexcept { return quickAddFixed(Int32, value); }
    Quick quickAddDate(int32_t julianDay) noexcept { return quickAddFixed(Date, julianDay); }
    Quick quickAddInt64(int64_t value) noexcept { return quickAddFixed(Int64, value); }
    Quick quickAddDouble(double value) noexcept { return quickAddFixed(Double, DoubleBits(value)); }
    Quick quickAddBinary(const uint8_t* value, size_t size) noexcept {
        const ColumnFacts facts = CurrentFacts();
        // Longer values go the checked way, whose call into memcpy would
        // cost every short value a stack frame here; the size test first
        // also keeps the cell size below from wrapping. A null value, also
        // the rare empty one, goes the checked way as well: one test here.
        if (size > copy_small_max || (facts.takes & Binary) == 0 || value == nullptr || !QuickFits()) {
            return Quick::NotTaken;
        }
        return Place(facts.marker + 4 + size, PutBinary{facts.marker, value, size});
    }
    // A short encoded value that the column reads as it is.
    Quick quickAddRaw(const uint8_t* value, size_t size) noexcept {
        const ColumnFacts facts = CurrentFacts();
        if (size > copy_small_max || value == nullptr || !QuickFits() || !RawTaken(facts.rawWidth, value, size)) {
            return Quick::NotTaken;
        }
        return Place(facts.marker + size, PutRaw{facts.marker, value, size});
    }
    // Hands on the chunk that a quick add left full, as the checked add
    // would have.
    void SendFullChunk();

    // The caller's already encoded value bytes, unchanged.
    void addRaw(const uint8_t* value, size_t size);
    // Sends whatever cells are buffered, also in the middle of a row.
    void flush();

    // The bytes filled so far, header included; for tests and benchmarks.
    const uint8_t* GetData() const { return m_data.GetChunkData(); }
    size_t GetFilledSize() const { return static_cast<size_t>(m_cursor - m_data.GetChunkData()); }
    size_t GetCurrentCell() const { return static_cast<size_t>(m_column - m_firstColumn); }
    size_t GetCapacity() const { return m_data.GetChunkDataSize(); }
    size_t GetFlushThreshold() const { return m_flushThreshold; }

    // Which adds a column takes (a bit set), and the width of its value for
    // a raw add (one of the Raw* values below otherwise).
    enum Takes : uint8_t { Bool = 1, Int16 = 2, Int32 = 4, Int64 = 8, Double = 16, Date = 32, Binary = 64 };
    static constexpr uint8_t RawVariable = 0;           // 32-bit length, then that many bytes
    static constexpr uint8_t RawAny = 0xFF;             // nothing known about the encoding
    static constexpr uint8_t RawEightOrSixteen = 0xFE;  // a NUMERIC of unknown precision

private:
    // What the cells of one column need, worked out once per buffer: which
    // adds it takes, the width of a raw value, and whether its cells begin
    // with a marker byte (1, nullable) or not (0, NOT NULL), and whether it
    // is the row's last.
    struct ColumnFacts {
        uint8_t takes;
        uint8_t rawWidth;
        uint8_t marker;
        uint8_t last;
    };
    static ColumnFacts FactsOf(const Type& type);
    static std::vector<ColumnFacts> FactsOf(const TableDefinition& definition);

    ColumnFacts CurrentFacts() const { return *m_column; }
    // Whether a raw value of `size` bytes has the width or the length
    // prefix that a column of `rawWidth` reads.
    static bool RawTaken(uint8_t rawWidth, const uint8_t* value, size_t size) noexcept {
        switch (rawWidth) {
            case RawAny:
                return true;
            case RawEightOrSixteen:
                return size == 8 || size == 16;
            case RawVariable:
                // The value's own length prefix must cover exactly the rest.
                return size >= 4 && little_endian_load<uint32_t>(value) == size - 4;
            default:
                return size == rawWidth;
        }
    }
    [[noreturn]] void ThrowWrongCell(Takes add) const;
    [[noreturn]] void ThrowWrongRaw(size_t size) const;
    [[noreturn]] void ThrowNullInNotNullColumn() const;
    [[noreturn]] static void ThrowValueTooLarge();

    static int8_t BoolByte(bool value) { return value ? 1 : 0; }
    static int64_t DoubleBits(double value) {
        int64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    }

    size_t Room() const { return static_cast<size_t>(m_limit - m_cursor); }
    // The longest cell a quick add writes: a marker, a length and a value
    // short enough to copy inline.
    static constexpr size_t quick_cell_max = 1 + 4 + copy_small_max;
    // Room for any quick cell, in one comparison.
    bool QuickFits() const { return m_cursor <= m_quickLimit; }
    // Makes room for a cell of `cellSize` bytes at the fill mark: the one
    // space check of a cell, the chunk grown when it fails.
    void Reserve(size_t cellSize) {
        if (__builtin_expect(cellSize > Room(), 0)) {
            Grow(cellSize);
        }
    }
    // Throws 54S01 when the filled size plus the cell overflows size_t, and
    // std::bad_alloc (chunk unchanged) when the chunk cannot grow.
    void Grow(size_t cellSize);

    // The cell writers, for a cell known to be taken and to fit.
    static void PutNull(uint8_t* out) { out[0] = kelvobinary_marker_null; }
    template <typename T>
    struct PutFixed {
        size_t marker;
        T value;
        void operator()(uint8_t* out) const { kelvobinary_put_fixed(out, marker, value); }
    };
    struct PutRaw {
        size_t marker;
        const uint8_t* value;
        size_t size;
        void operator()(uint8_t* out) const {
            // An empty value in a NOT NULL column is a cell of no bytes:
            // nothing may be stored, not even at `out`.
            if (marker != 0) {
                out[0] = kelvobinary_marker_value;
            }
            copy_small(out + marker, value, size);
        }
    };
    struct PutBinary {
        size_t marker;
        const uint8_t* value;
        size_t size;
        void operator()(uint8_t* out) const {
            kelvobinary_put_varbinary(out, marker, value, static_cast<uint32_t>(size));
        }
    };

    // Writes a cell of `cellSize` bytes at the fill mark, moves past it and
    // ends the row when it was the last. The state is read before the cell's
    // bytes are written: a byte store may alias anything, and the compiler
    // would read it all again after.
    template <typename Put>
    Quick Place(size_t cellSize, Put put) {
        uint8_t* const out = m_cursor;
        const ColumnFacts* const column = m_column;
        const bool lastOfRow = column->last != 0;
        put(out);
        m_cursor = out + cellSize;
        // Most cells do not end their row: their path falls through to the
        // return, with no taken jump.
        if (__builtin_expect(!lastOfRow, 1)) {
            m_column = column + 1;
            return Quick::Added;
        }
        m_column = m_firstColumn;
        return out + cellSize >= m_flushMark ? Quick::AddedChunkFull : Quick::Added;
    }
    void Commit(Quick placed) {
        if (placed == Quick::AddedChunkFull) {
            SendFullChunk();
        }
    }
    void SendBuffered();

    template <typename T>
    void addFixed(Takes add, T value) {
        const ColumnFacts facts = CurrentFacts();
        if ((facts.takes & add) == 0) {
            ThrowWrongCell(add);
        }
        Reserve(facts.marker + sizeof(T));
        Commit(Place(facts.marker + sizeof(T), PutFixed<T>{facts.marker, value}));
    }
    template <typename T>
    Quick quickAddFixed(Takes add, T value) noexcept {
        const ColumnFacts facts = CurrentFacts();
        if ((facts.takes & add) == 0 || !QuickFits()) {
            return Quick::NotTaken;
        }
        return Place(facts.marker + sizeof(T), PutFixed<T>{facts.marker, value});
    }

    // Points the cell path's pointers into the chunk, keeping the fill mark
    // at `filled` bytes.
    void PointInto(size_t filled);

    // The cell path's state, first in the object and so on one cache line:
    // pointers, so that a cell costs no index arithmetic. The fill mark and
    // the current column are carried from call to call in memory; every
    // other instruction of an add is off that chain.
    uint8_t* m_cursor;      // where the next cell goes
    uint8_t* m_limit;       // the chunk's end
    uint8_t* m_quickLimit;  // quick_cell_max bytes before the end
    uint8_t* m_flushMark;   // a row that ends at or past this sends the chunk
    const ColumnFacts* m_column;
    const ColumnFacts* m_firstColumn;
    const size_t m_flushThreshold;
    std::vector<ColumnFacts> m_columnFacts;
    DataChunk m_data;
    std::shared_ptr<ChunkSink> m_inserterShare;
    ChunkSink& m_inserter;
    TableDefinition m_streamDefinition;
    bool m_flushedAnything = false;
    const std::string m_selectList;
};

}  // namespace kelvoapi

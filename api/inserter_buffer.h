// The row-by-row cell encoder in front of an inserter: appends one cell per
// call, in column order, to a data chunk in the copy format, and hands the
// chunk to its sink whenever a row ends with the chunk full. The first full
// chunk switches the inserter to bulk mode; a load that never fills a chunk
// leaves with the final flush through one plain COPY.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/chunk_sink.h"
#include "api/data_chunk.h"
#include "api/kelvobinary.h"
#include "api/table_definition.h"

struct kelvo_inserter_buffer_t {};

namespace kelvoapi {

class InserterBuffer : public kelvo_inserter_buffer_t {
public:
    // Copies the definition and the select list. A definition without columns
    // is refused: no cell could ever be placed. Throws kelvoapi::Error or
    // std::bad_alloc.
    InserterBuffer(ChunkSink& inserter, const TableDefinition& tableDefinition, std::string selectList);
    // Holds a share of the inserter, which then lives as long as the buffer.
    InserterBuffer(std::shared_ptr<ChunkSink> inserter, const TableDefinition& tableDefinition,
                   std::string selectList);
    InserterBuffer(const InserterBuffer&) = delete;
    InserterBuffer& operator=(const InserterBuffer&) = delete;

    // The NULL cell; refused for a NOT NULL column, whose cells carry no
    // marker, so a stray 0x01 would be read as a value and shift every later
    // cell of the stream.
    void addNull();
    // Each add refuses (42804) a cell that the current column's type does not
    // take: a cell of the wrong width would shift every later cell of the
    // stream, and the server would read other values than were meant.
    void addBool(bool value) {
        addFixed<int8_t, kelvobinary_store_i8, kelvobinary_store_i8_not_nullable>(Takes::Bool, value ? 1 : 0);
    }
    void addInt16(int16_t value) {
        addFixed<int16_t, kelvobinary_store_i16, kelvobinary_store_i16_not_nullable>(Takes::Int16, value);
    }
    void addInt32(int32_t value) {
        addFixed<int32_t, kelvobinary_store_i32, kelvobinary_store_i32_not_nullable>(Takes::Int32, value);
    }
    // A Julian day number, for a DATE column only.
    void addDate(int32_t julianDay) {
        addFixed<int32_t, kelvobinary_store_i32, kelvobinary_store_i32_not_nullable>(Takes::Date, julianDay);
    }
    void addInt64(int64_t value) {
        addFixed<int64_t, kelvobinary_store_i64, kelvobinary_store_i64_not_nullable>(Takes::Int64, value);
    }
    // The binary64 bit pattern as an 8-byte cell.
    void addDouble(double value) {
        int64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        addFixed<int64_t, kelvobinary_store_i64, kelvobinary_store_i64_not_nullable>(Takes::Double, bits);
    }
    // 32-bit length, then the bytes; a null value is taken for an empty one
    // only when its size is 0.
    void addBinary(const uint8_t* value, size_t size);
    // The caller's already encoded value bytes, unchanged.
    void addRaw(const uint8_t* value, size_t size);
    // Sends whatever cells are buffered, also in the middle of a row.
    void flush();

    // The bytes filled so far, header included; for tests and benchmarks.
    const uint8_t* GetData() const { return m_data.GetChunkData(); }
    size_t GetFilledSize() const { return m_current; }
    size_t GetCurrentCell() const { return m_currentCell; }
    size_t GetCapacity() const { return m_data.GetChunkDataSize(); }
    size_t GetFlushThreshold() const { return m_flushThreshold; }

    // Which adds a column takes (a bit set), and the width of its value for
    // a raw add (one of the Raw* values below otherwise).
    enum Takes : uint8_t { Bool = 1, Int16 = 2, Int32 = 4, Int64 = 8, Double = 16, Date = 32, Binary = 64 };
    static constexpr uint8_t RawVariable = 0;     // 32-bit length, then that many bytes
    static constexpr uint8_t RawAny = 0xFF;       // nothing known about the encoding
    static constexpr uint8_t RawEightOrSixteen = 0xFE;  // a NUMERIC of unknown precision

private:
    struct ColumnShape {
        uint8_t takes;
        uint8_t rawWidth;
    };
    static ColumnShape ShapeOf(const Type& type);

    bool CurrentIsNullable() const { return m_nullability[m_currentCell] != 0; }
    void CheckTakes(Takes add) const {
        if ((m_shapes[m_currentCell].takes & add) == 0) {
            ThrowWrongCell(add);
        }
    }
    void CheckRaw(const uint8_t* value, size_t size) const;
    [[noreturn]] void ThrowWrongCell(Takes add) const;
    [[noreturn]] void ThrowWrongRaw(size_t size) const;
    // The room from the fill mark on, grown to hold `cellSize` more bytes.
    writable_bytes Reserve(size_t cellSize) {
        if (cellSize > m_data.GetChunkDataSize() - m_current) {
            Grow(cellSize);
        }
        return writable_bytes{m_data.GetChunkData() + m_current, m_data.GetChunkDataSize() - m_current};
    }
    // Throws 54S01 when the filled size plus the cell overflows size_t, and
    // std::bad_alloc (chunk unchanged) when the chunk cannot grow.
    void Grow(size_t cellSize);
    // Moves past the cell just written and ends the row when it was the last.
    void Commit(size_t cellSize) {
        m_current += cellSize;
        if (++m_currentCell == m_columnCount) {
            EndRow();
        }
    }
    void EndRow();
    void SendBuffered();

    template <typename T, size_t (*StoreNullable)(writable_bytes, T), size_t (*StoreNotNull)(writable_bytes, T)>
    void addFixed(Takes add, T value) {
        CheckTakes(add);
        if (CurrentIsNullable()) {
            Commit(StoreNullable(Reserve(1 + sizeof(T)), value));
        } else {
            Commit(StoreNotNull(Reserve(sizeof(T)), value));
        }
    }

    std::shared_ptr<ChunkSink> m_inserterShare;
    ChunkSink& m_inserter;
    TableDefinition m_streamDefinition;
    DataChunk m_data;
    size_t m_current = DataChunk::m_header_size;
    size_t m_currentCell = 0;
    std::vector<uint8_t> m_nullability;
    std::vector<ColumnShape> m_shapes;
    const size_t m_columnCount;
    const size_t m_flushThreshold;
    bool m_flushedAnything = false;
    const std::string m_selectList;
};

}  // namespace kelvoapi

#include "api/inserter_buffer.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "api/quoting.h"
#include "error/error.h"
#include "error/sqlstate.h"

namespace kelvoapi {

namespace {
constexpr ContextId kValueTooLarge{0x995a946a};
constexpr ContextId kNoColumns{0x7c1e52a0};
constexpr ContextId kNullInNotNullColumn{0x3b86d417};
// Rows that end within this much of the chunk's end send the chunk, so most
// rows fit without growing it.
constexpr size_t kFlushSlack = 1024;

[[noreturn]] void ThrowValueTooLarge() {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::ValueTooLarge), "The given value is too large.",
                kValueTooLarge);
}

std::vector<uint8_t> Nullability(const TableDefinition& definition) {
    std::vector<uint8_t> nullability;
    nullability.reserve(definition.GetColumnCount());
    for (const TableDefinition::Column& column : definition.GetColumns()) {
        nullability.push_back(column.m_type.m_nullable ? 1 : 0);
    }
    return nullability;
}

const TableDefinition& RequireColumns(const TableDefinition& definition) {
    if (definition.GetColumnCount() == 0) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                    "Cannot create an inserter buffer for the table " + QuoteIdentifier(definition.GetTableName()) +
                        ". The table definition has no columns.",
                    kNoColumns);
    }
    return definition;
}
}  // namespace

InserterBuffer::InserterBuffer(ChunkSink& inserter, const TableDefinition& tableDefinition, std::string selectList)
    : m_inserter(inserter),
      m_streamDefinition(RequireColumns(tableDefinition)),
      m_nullability(Nullability(tableDefinition)),
      m_columnCount(tableDefinition.GetColumnCount()),
      m_flushThreshold(DataChunk::initial_size - kFlushSlack),
      m_selectList(std::move(selectList)) {}

void InserterBuffer::Grow(size_t cellSize) {
    const size_t size = m_data.GetChunkDataSize();
    if (cellSize > std::numeric_limits<size_t>::max() - m_current) {
        ThrowValueTooLarge();
    }
    const size_t need = m_current + cellSize;
    const size_t grown = size + size / 5;
    m_data.Resize(need > grown ? need : grown);
}

void InserterBuffer::addNull() {
    if (!CurrentIsNullable()) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::NullValueNotAllowed),
                    "The column " + QuoteIdentifier(m_streamDefinition.GetColumn(m_currentCell).m_name) +
                        " is declared NOT NULL and cannot hold NULL.",
                    kNullInNotNullColumn);
    }
    Commit(kelvobinary_store_null(Reserve(1)));
}

void InserterBuffer::addBinary(const uint8_t* value, size_t size) {
    // The length field has 32 bits; a longer value would be cut short and the
    // rest of it read as further cells.
    if (size > std::numeric_limits<uint32_t>::max()) {
        ThrowValueTooLarge();
    }
    if (CurrentIsNullable()) {
        Commit(kelvobinary_store_varbinary(Reserve(5 + size), value, size));
    } else {
        Commit(kelvobinary_store_varbinary_not_nullable(Reserve(4 + size), value, size));
    }
}

void InserterBuffer::addRaw(const uint8_t* value, size_t size) {
    const size_t marker = CurrentIsNullable() ? 1 : 0;
    if (size > std::numeric_limits<size_t>::max() - marker) {
        ThrowValueTooLarge();
    }
    uint8_t* out = Reserve(marker + size).data;
    if (marker != 0) {
        *out++ = kelvobinary_marker_value;
    }
    if (size != 0) {
        std::memcpy(out, value, size);
    }
    Commit(marker + size);
}

void InserterBuffer::EndRow() {
    m_currentCell = 0;
    if (m_current > DataChunk::m_header_size && m_current >= m_flushThreshold) {
        if (!m_flushedAnything) {
            m_inserter.InitBulkInsert(&m_streamDefinition, m_selectList);
        }
        SendBuffered();
    }
}

void InserterBuffer::flush() {
    if (m_current <= DataChunk::m_header_size) {
        return;
    }
    if (!m_flushedAnything && m_current >= m_flushThreshold) {
        m_inserter.InitBulkInsert(&m_streamDefinition, m_selectList);
    }
    SendBuffered();
}

void InserterBuffer::SendBuffered() {
    m_inserter.SendChunk(m_data.GetChunkData(), m_current);
    m_current = DataChunk::m_header_size;
    m_flushedAnything = true;
}

}  // namespace kelvoapi

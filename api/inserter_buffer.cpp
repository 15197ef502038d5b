#include "api/inserter_buffer.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "api/quoting.h"
#include "api/type.h"
#include "error/error.h"
#include "error/sqlstate.h"

namespace kelvoapi {

namespace {
constexpr ContextId kValueTooLarge{0x995a946a};
constexpr ContextId kNoColumns{0x7c1e52a0};
constexpr ContextId kNullInNotNullColumn{0x3b86d417};
constexpr ContextId kWrongCell{0x5e0b72d1};
// Rows that end within this much of the chunk's end send the chunk, so most
// rows fit without growing it.
constexpr size_t kFlushSlack = 1024;

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
    : m_flushThreshold(DataChunk::initial_size - kFlushSlack),
      m_columnFacts(FactsOf(RequireColumns(tableDefinition))),
      m_inserter(inserter),
      m_streamDefinition(tableDefinition),
      m_selectList(std::move(selectList)) {
    m_firstColumn = m_columnFacts.data();
    m_column = m_firstColumn;
    PointInto(DataChunk::m_header_size);
}

std::vector<InserterBuffer::ColumnFacts> InserterBuffer::FactsOf(const TableDefinition& definition) {
    std::vector<ColumnFacts> facts;
    facts.reserve(definition.GetColumnCount());
    for (const TableDefinition::Column& column : definition.GetColumns()) {
        facts.push_back(FactsOf(column.m_type));
    }
    facts.back().last = 1;
    return facts;
}

void InserterBuffer::PointInto(size_t filled) {
    uint8_t* data = m_data.GetChunkData();
    m_cursor = data + filled;
    m_limit = data + m_data.GetChunkDataSize();
    m_quickLimit = m_limit - quick_cell_max;
    m_flushMark = data + m_flushThreshold;
}

InserterBuffer::InserterBuffer(std::shared_ptr<ChunkSink> inserter, const TableDefinition& tableDefinition,
                               std::string selectList)
    : InserterBuffer(*inserter, tableDefinition, std::move(selectList)) {
    m_inserterShare = std::move(inserter);
}

// The cell encodings the server reads for each type: the widths of the
// copy format's fixed values, or a length-prefixed variable value.
InserterBuffer::ColumnFacts InserterBuffer::FactsOf(const Type& type) {
    const uint8_t marker = type.m_nullable ? 1 : 0;
    constexpr uint8_t last = 0;
    switch (type.m_tag) {
        case KELVO_BOOL:
            return {Bool, 1, marker, last};
        case KELVO_SMALL_INT:
            return {Int16, 2, marker, last};
        case KELVO_INT:
        case KELVO_OID:
            return {Int32, 4, marker, last};
        case KELVO_DATE:
            return {static_cast<uint8_t>(Int32 | Date), 4, marker, last};
        case KELVO_BIG_INT:
        case KELVO_TIME:
        case KELVO_TIMESTAMP:
        case KELVO_TIMESTAMP_TZ:
            return {Int64, 8, marker, last};
        case KELVO_DOUBLE:
            return {Double, 8, marker, last};
        case KELVO_NUMERIC: {
            const uint32_t precision = PrecisionFromModifier(type.m_modifier);
            if (type.m_modifier == no_type_modifier || precision == no_type_modifier) {
                return {Int64, RawEightOrSixteen, marker, last};
            }
            return precision <= 18 ? ColumnFacts{Int64, 8, marker, last} : ColumnFacts{0, 16, marker, last};
        }
        case KELVO_INTERVAL:
            return {0, 16, marker, last};
        case KELVO_TEXT:
        case KELVO_VARCHAR:
        case KELVO_CHAR:
        case KELVO_BYTE_A:
        case KELVO_JSON:
        case KELVO_GEOGRAPHY:
            return {Binary, RawVariable, marker, last};
        default:
            return {0, RawAny, marker, last};
    }
}

namespace {
const char* AddedKind(uint8_t add) {
    switch (add) {
        case InserterBuffer::Bool:
            return "a BOOLEAN value";
        case InserterBuffer::Int16:
            return "a SMALLINT value";
        case InserterBuffer::Int32:
            return "an INT value";
        case InserterBuffer::Int64:
            return "a BIGINT value";
        case InserterBuffer::Double:
            return "a DOUBLE value";
        case InserterBuffer::Date:
            return "a DATE value";
        default:
            return "a variable-length value";
    }
}

std::string TypeText(const Type& type) {
    if (type.m_tag == KELVO_UNSUPPORTED) {
        return "unsupported";
    }
    Type bare = type;
    bare.m_nullable = true;
    bare.m_collation.clear();
    return GenerateSQLString(bare);
}
}  // namespace

void InserterBuffer::ThrowWrongCell(Takes add) const {
    const TableDefinition::Column& column = m_streamDefinition.GetColumn(GetCurrentCell());
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::DataTypeMismatch),
                std::string("Cannot add ") + AddedKind(add) + " to the column " + QuoteIdentifier(column.m_name) +
                    " of type " + TypeText(column.m_type) + ".",
                kWrongCell);
}

void InserterBuffer::ThrowWrongRaw(size_t size) const {
    const TableDefinition::Column& column = m_streamDefinition.GetColumn(GetCurrentCell());
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::DataTypeMismatch),
                "Cannot add an encoded value of " + std::to_string(size) + " bytes to the column " +
                    QuoteIdentifier(column.m_name) + " of type " + TypeText(column.m_type) + ".",
                kWrongCell);
}

void InserterBuffer::ThrowNullInNotNullColumn() const {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::NullValueNotAllowed),
                "The column " + QuoteIdentifier(m_streamDefinition.GetColumn(GetCurrentCell()).m_name) +
                    " is declared NOT NULL and cannot hold NULL.",
                kNullInNotNullColumn);
}

void InserterBuffer::ThrowValueTooLarge() {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::ValueTooLarge), "The given value is too large.",
                kValueTooLarge);
}

void InserterBuffer::Grow(size_t cellSize) {
    const size_t size = m_data.GetChunkDataSize();
    const size_t filled = GetFilledSize();
    if (cellSize > std::numeric_limits<size_t>::max() - filled) {
        ThrowValueTooLarge();
    }
    const size_t need = filled + cellSize;
    const size_t grown = size + size / 5;
    m_data.Resize(need > grown ? need : grown);
    PointInto(filled);
}

void InserterBuffer::addRaw(const uint8_t* value, size_t size) {
    const size_t marker = CurrentFacts().marker;
    if (size > std::numeric_limits<size_t>::max() - marker - GetFilledSize()) {
        ThrowValueTooLarge();
    }
    if (!RawTaken(CurrentFacts().rawWidth, value, size)) {
        ThrowWrongRaw(size);
    }
    Reserve(marker + size);
    Commit(Place(marker + size, PutRaw{marker, value, size}));
}

void InserterBuffer::SendFullChunk() {
    if (!m_flushedAnything) {
        m_inserter.InitBulkInsert(&m_streamDefinition, m_selectList);
    }
    SendBuffered();
}

void InserterBuffer::flush() {
    if (GetFilledSize() <= DataChunk::m_header_size) {
        return;
    }
    if (!m_flushedAnything &&
        (m_cursor >= m_flushMark || !m_inserter.TakesPlainChunks(m_streamDefinition, m_selectList))) {
        m_inserter.InitBulkInsert(&m_streamDefinition, m_selectList);
    }
    SendBuffered();
}

void InserterBuffer::SendBuffered() {
    m_inserter.SendChunk(m_data.GetChunkData(), GetFilledSize());
    m_cursor = m_data.GetChunkData() + DataChunk::m_header_size;
    m_flushedAnything = true;
}

}  // namespace kelvoapi

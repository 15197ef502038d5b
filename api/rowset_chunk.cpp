// Field access on a result chunk without copying: straight from the field
// arrays that the protocol client's parser filled.
#include "api/rowset_chunk.h"

#include <utility>

#include "postgres/libpq/result_record.h"

namespace kelvoapi {

RowsetChunk::RowsetChunk(ScopedPGresult result)
    : m_pg_result(std::move(result)),
      m_status(static_cast<ResultStatus>(PQresultStatus(m_pg_result.get()))),
      m_column_count(static_cast<size_t>(PQnfields(m_pg_result.get()))),
      m_row_count(static_cast<size_t>(PQntuples(m_pg_result.get()))) {
    const PGresultFields fields = pqResultFields(m_pg_result.get());
    m_values = fields.values;
    m_lengths = fields.lengths;
    // The hooks point at the connection, which a chunk may outlive.
    m_pg_result->noticeHooks.noticeRec = nullptr;
    m_pg_result->noticeHooks.noticeProc = nullptr;
}

// Out-of-range indexes are answered here: the protocol client would also
// report them through the notice hooks, and a chunk may outlive the
// connection those hooks lead to.
bool RowsetChunk::InRange(kelvo_row_index_t row, kelvo_field_index_t column) const {
    return row < m_row_count && column < m_column_count;
}

bool RowsetChunk::IsFieldValueNull(kelvo_row_index_t row, kelvo_field_index_t column) const {
    return !InRange(row, column) || m_lengths[row * m_column_count + column] < 0;
}

kelvo_value_t RowsetChunk::GetFieldValue(kelvo_row_index_t row, kelvo_field_index_t column) const {
    if (IsFieldValueNull(row, column)) {
        return kelvo_value_t{nullptr, 0};
    }
    const size_t at = row * m_column_count + column;
    return kelvo_value_t{m_values[at], static_cast<size_t>(m_lengths[at])};
}

const uint8_t* RowsetChunk::GetFieldValueByRef(kelvo_row_index_t row, kelvo_field_index_t column, int* size) const {
    if (!InRange(row, column)) {
        *size = 0;
        return nullptr;
    }
    const int r = static_cast<int>(row);
    const int c = static_cast<int>(column);
    *size = PQgetlength(m_pg_result.get(), r, c);
    return reinterpret_cast<const uint8_t*>(PQgetvalue(m_pg_result.get(), r, c));
}

void RowsetChunk::Process() {
    if (m_processed) {
        return;
    }
    const size_t count = m_column_count * m_row_count;
    // Left uninitialised: the pass below writes every entry.
    m_sizes.reset(new size_t[count]);
    m_null_flags.reset(new int8_t[count]);
    size_t* sizes = m_sizes.get();
    int8_t* nulls = m_null_flags.get();
    for (size_t i = 0; i < count; ++i) {
        const int length = m_lengths[i];
        const bool isNull = length < 0;
        sizes[i] = isNull ? 0 : static_cast<size_t>(length);
        nulls[i] = isNull ? 1 : 0;
    }
    m_processed = true;
}

}  // namespace kelvoapi

// Field access on a result chunk without copying.
#include "api/rowset_chunk.h"

#include "postgres/libpq/result_record.h"

namespace kelvoapi {

RowsetChunk::RowsetChunk(PGresult* result)
    : m_pg_result(result),
      m_status(static_cast<ResultStatus>(PQresultStatus(result))),
      m_column_count(static_cast<size_t>(PQnfields(result))),
      m_row_count(static_cast<size_t>(PQntuples(result))),
      m_bytes(PQresultSize(result)) {
    // The hooks point at the connection, which a chunk may outlive.
    result->noticeHooks.noticeRec = nullptr;
    result->noticeHooks.noticeProc = nullptr;
}

RowsetChunk::~RowsetChunk() { PQclear(m_pg_result); }

// Out-of-range indexes are answered here: the protocol client would also
// report them through the notice hooks, and a chunk may outlive the
// connection those hooks lead to.
bool RowsetChunk::InRange(kelvo_row_index_t row, kelvo_field_index_t column) const {
    return row < m_row_count && column < m_column_count;
}

bool RowsetChunk::IsFieldValueNull(kelvo_row_index_t row, kelvo_field_index_t column) const {
    if (!InRange(row, column)) {
        return true;
    }
    return PQgetisnull(m_pg_result, static_cast<int>(row), static_cast<int>(column)) != 0;
}

kelvo_value_t RowsetChunk::GetFieldValue(kelvo_row_index_t row, kelvo_field_index_t column) const {
    if (IsFieldValueNull(row, column)) {
        return kelvo_value_t{nullptr, 0};
    }
    const int r = static_cast<int>(row);
    const int c = static_cast<int>(column);
    return kelvo_value_t{reinterpret_cast<const uint8_t*>(PQgetvalue(m_pg_result, r, c)),
                         static_cast<size_t>(PQgetlength(m_pg_result, r, c))};
}

const uint8_t* RowsetChunk::GetFieldValueByRef(kelvo_row_index_t row, kelvo_field_index_t column, int* size) const {
    if (!InRange(row, column)) {
        *size = 0;
        return nullptr;
    }
    const int r = static_cast<int>(row);
    const int c = static_cast<int>(column);
    *size = PQgetlength(m_pg_result, r, c);
    return reinterpret_cast<const uint8_t*>(PQgetvalue(m_pg_result, r, c));
}

void RowsetChunk::Process() {
    if (m_processed) {
        return;
    }
    const size_t count = m_column_count * m_row_count;
    m_values.reserve(count);
    m_sizes.reserve(count);
    m_null_flags.reserve(count);
    for (size_t r = 0; r < m_row_count; ++r) {
        for (size_t c = 0; c < m_column_count; ++c) {
            const int ri = static_cast<int>(r);
            const int ci = static_cast<int>(c);
            const bool isNull = PQgetisnull(m_pg_result, ri, ci) != 0;
            if (isNull) {
                m_values.push_back(nullptr);
                m_sizes.push_back(0);
            } else {
                m_values.push_back(reinterpret_cast<const uint8_t*>(PQgetvalue(m_pg_result, ri, ci)));
                m_sizes.push_back(static_cast<size_t>(PQgetlength(m_pg_result, ri, ci)));
            }
            m_null_flags.push_back(isNull ? 1 : 0);
        }
    }
    m_processed = true;
}

}  // namespace kelvoapi

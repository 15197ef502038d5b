// One protocol result (a chunk of up to 256 rows, or a whole result) behind
// the C handle kelvo_rowset_chunk_t. Field values are pointers into the
// result's own memory: nothing is copied, and they live as long as the chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "api/result_status.h"
#include "kelvo/rowset.h"
#include "postgres/libpq/libpq_types.h"

struct kelvo_rowset_chunk_t {};

namespace kelvoapi {

class RowsetChunk : public kelvo_rowset_chunk_t {
public:
    // Takes ownership of `result`, which must not be null.
    explicit RowsetChunk(PGresult* result);
    RowsetChunk(const RowsetChunk&) = delete;
    RowsetChunk& operator=(const RowsetChunk&) = delete;
    ~RowsetChunk();

    ResultStatus GetStatus() const { return m_status; }
    size_t GetColumnCount() const { return m_column_count; }
    size_t GetRowCount() const { return m_row_count; }
    // The result's memory size, which the prefetch throttle counts.
    size_t GetByteSize() const { return m_bytes > 0 ? static_cast<size_t>(m_bytes) : 0; }
    PGresult* GetResult() const { return m_pg_result; }

    // A NULL field, and an index out of range, give a null pointer and 0.
    kelvo_value_t GetFieldValue(kelvo_row_index_t row, kelvo_field_index_t column) const;
    bool IsFieldValueNull(kelvo_row_index_t row, kelvo_field_index_t column) const;
    // No NULL test: the protocol client's answer for a NULL field (an empty
    // value) stands.
    const uint8_t* GetFieldValueByRef(kelvo_row_index_t row, kelvo_field_index_t column, int* size) const;

    // Builds the row-major arrays once; later calls keep the first arrays, so
    // pointers handed out earlier stay valid.
    void Process();
    const uint8_t* const* GetFieldValues() const { return m_values.data(); }
    const size_t* GetFieldValueSizes() const { return m_sizes.data(); }
    const int8_t* GetNullFlags() const { return m_null_flags.data(); }

private:
    bool InRange(kelvo_row_index_t row, kelvo_field_index_t column) const;

    PGresult* m_pg_result;
    ResultStatus m_status;
    size_t m_column_count;
    size_t m_row_count;
    int m_bytes;
    bool m_processed = false;
    std::vector<const uint8_t*> m_values;
    std::vector<size_t> m_sizes;
    std::vector<int8_t> m_null_flags;
};

}  // namespace kelvoapi

// One protocol result (a chunk of up to 256 rows, or a whole result) behind
// the C handle kelvo_rowset_chunk_t. Field values are pointers into the
// result's own memory: nothing is copied, and they live as long as the chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "api/result_status.h"
#include "kelvo/rowset.h"
#include "postgres/libpq/libpq_types.h"
#include "postgres/libpq/scoped_result.h"

struct kelvo_rowset_chunk_t {};

namespace kelvoapi {

class RowsetChunk : public kelvo_rowset_chunk_t {
public:
    // Owns `result`, which must not be null.
    explicit RowsetChunk(ScopedPGresult result);
    RowsetChunk(const RowsetChunk&) = delete;
    RowsetChunk& operator=(const RowsetChunk&) = delete;

    ResultStatus GetStatus() const { return m_status; }
    size_t GetColumnCount() const { return m_column_count; }
    size_t GetRowCount() const { return m_row_count; }
    PGresult* GetResult() const { return m_pg_result.get(); }

    // A NULL field, and an index out of range, give a null pointer and 0.
    kelvo_value_t GetFieldValue(kelvo_row_index_t row, kelvo_field_index_t column) const;
    bool IsFieldValueNull(kelvo_row_index_t row, kelvo_field_index_t column) const;
    // No NULL test: the protocol client's answer for a NULL field (an empty
    // value) stands.
    const uint8_t* GetFieldValueByRef(kelvo_row_index_t row, kelvo_field_index_t column, int* size) const;

    // Builds the row-major size and null-flag arrays once, in one pass over
    // the lengths the parser stored; the value pointers are the result's own.
    // Later calls keep the first arrays, so pointers handed out earlier stay
    // valid.
    void Process();
    const uint8_t* const* GetFieldValues() const { return m_values; }
    const size_t* GetFieldValueSizes() const { return m_sizes.get(); }
    const int8_t* GetNullFlags() const { return m_null_flags.get(); }

private:
    bool InRange(kelvo_row_index_t row, kelvo_field_index_t column) const;

    ScopedPGresult m_pg_result;
    ResultStatus m_status;
    size_t m_column_count;
    size_t m_row_count;
    // The result's field arrays, row-major: value pointers (null for NULL)
    // and lengths (-1 for NULL).
    const uint8_t* const* m_values;
    const int* m_lengths;
    bool m_processed = false;
    std::unique_ptr<size_t[]> m_sizes;
    std::unique_ptr<int8_t[]> m_null_flags;
};

}  // namespace kelvoapi

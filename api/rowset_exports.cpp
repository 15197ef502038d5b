// The C entry points of statement execution, rowsets and rowset chunks. The
// accessors answer a null handle as an empty rowset or chunk would.
#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "api/rowset.h"
#include "api/statement.h"
#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "kelvo/rowset.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"

namespace {
constexpr kelvoapi::ContextId kSendQueryParamsFailed{0x34092392};
constexpr kelvoapi::ContextId kSendPrepareFailed{0xe580198d};
constexpr kelvoapi::ContextId kSendPreparedFailed{0xbef7b2ba};

void ThrowIfBadFormat(const kelvo_rowset_result_format_t& format, kelvoapi::ContextId frameId) {
    const int raw = kelvoapi::RawEnumValue(format);
    if (raw != KELVO_ROWSET_RESULT_FORMAT_TEXT && raw != KELVO_ROWSET_RESULT_FORMAT_KELVO_BINARY) {
        throw kelvoapi::InvalidArgumentError("result_format", frameId);
    }
}

// Sends through `send` under the busy rule and opens the rowset.
template <typename Send>
void OpenRowset(kelvo_connection_t* connection, kelvo_rowset_t** rowset, kelvoapi::ContextId frameId,
                kelvoapi::ContextId sendFailed, Send&& send) {
    kelvoapi::ThrowIfNull(connection, "connection", frameId);
    kelvoapi::ThrowIfNull(rowset, "rowset", frameId);
    // Held until the rowset has taken its lease.
    const kelvoapi::CallClaim claim(connection->Get());
    kelvoapi::SendStatement(connection->Get(), true, sendFailed, std::forward<Send>(send));
    kelvoapi::make_external(rowset, *connection);
}
}  // namespace

kelvo_error_t* kelvo_execute_query(kelvo_connection_t* connection, const char* query, kelvo_rowset_t** rowset) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(query, "query", kelvoapi::ContextIds::ExecuteQuery);
            OpenRowset(connection, rowset, kelvoapi::ContextIds::ExecuteQuery, kelvoapi::send_query_failed_context,
                       [&](PGconn* conn) { return PQsendQuery(conn, query); });
        },
        kelvoapi::ContextIds::ExecuteQuery);
}

kelvo_error_t* kelvo_execute_query_params(kelvo_connection_t* connection, const char* query,
                                          kelvo_rowset_result_format_t result_format, kelvo_rowset_t** rowset) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(query, "query", kelvoapi::ContextIds::ExecuteQueryParams);
            ThrowIfBadFormat(result_format, kelvoapi::ContextIds::ExecuteQueryParams);
            OpenRowset(connection, rowset, kelvoapi::ContextIds::ExecuteQueryParams, kSendQueryParamsFailed,
                       [&](PGconn* conn) {
                           return PQsendQueryParams(conn, query, 0, nullptr, nullptr, nullptr, nullptr,
                                                    static_cast<int>(result_format));
                       });
        },
        kelvoapi::ContextIds::ExecuteQueryParams);
}

kelvo_error_t* kelvo_execute_prepared(kelvo_connection_t* connection, const char* statement_name,
                                      kelvo_rowset_result_format_t result_format, kelvo_rowset_t** rowset) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(statement_name, "statement_name", kelvoapi::ContextIds::ExecutePrepared);
            ThrowIfBadFormat(result_format, kelvoapi::ContextIds::ExecutePrepared);
            OpenRowset(connection, rowset, kelvoapi::ContextIds::ExecutePrepared, kSendPreparedFailed,
                       [&](PGconn* conn) {
                           return PQsendQueryPrepared(conn, statement_name, 0, nullptr, nullptr, nullptr,
                                                      static_cast<int>(result_format));
                       });
        },
        kelvoapi::ContextIds::ExecutePrepared);
}

kelvo_error_t* kelvo_execute_command(kelvo_connection_t* connection, const char* command, int* affected_row_count) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", kelvoapi::ContextIds::ExecuteCommand);
            kelvoapi::ThrowIfNull(command, "command", kelvoapi::ContextIds::ExecuteCommand);
            const std::optional<size_t> count = kelvoapi::ExecuteCommand(connection->Get(), command, true);
            if (affected_row_count != nullptr) {
                // A count beyond the int range is clamped rather than wrapped
                // into a negative number that reads as "no count".
                *affected_row_count =
                    count ? static_cast<int>(std::min<size_t>(*count, std::numeric_limits<int>::max())) : -1;
            }
        },
        kelvoapi::ContextIds::ExecuteCommand);
}

kelvo_error_t* kelvo_prepare(kelvo_connection_t* connection, const char* statement_name, const char* query) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", kelvoapi::ContextIds::Prepare);
            kelvoapi::ThrowIfNull(statement_name, "statement_name", kelvoapi::ContextIds::Prepare);
            kelvoapi::ThrowIfNull(query, "query", kelvoapi::ContextIds::Prepare);
            kelvoapi::Connection& conn = connection->Get();
            const kelvoapi::CallClaim claim(conn);
            kelvoapi::SendStatement(conn, true, kSendPrepareFailed, [&](PGconn* pgconn) {
                return PQsendPrepare(pgconn, statement_name, query, 0, nullptr);
            });
            kelvoapi::CleanupResults(conn, kelvoapi::GetResult(conn));
        },
        kelvoapi::ContextIds::Prepare);
}

void kelvo_close_rowset(kelvo_rowset_t* rowset) { delete rowset; }

const kelvo_table_definition_t* kelvo_rowset_get_table_definition(const kelvo_rowset_t* rowset) {
    return rowset == nullptr ? nullptr : &rowset->Get().GetSchema();
}

int64_t kelvo_rowset_get_affected_row_count(const kelvo_rowset_t* rowset) {
    if (rowset == nullptr) {
        return -1;
    }
    const std::optional<size_t> count = rowset->Get().GetAffectedRowCount();
    return count ? static_cast<int64_t>(*count) : -1;
}

kelvo_error_t* kelvo_rowset_get_next_chunk(kelvo_rowset_t* rowset, kelvo_rowset_chunk_t** rowset_chunk) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(rowset, "rowset", kelvoapi::ContextIds::RowsetGetNextChunk);
            kelvoapi::ThrowIfNull(rowset_chunk, "rowset_chunk", kelvoapi::ContextIds::RowsetGetNextChunk);
            *rowset_chunk = rowset->Get().GetNextChunk().release();
        },
        kelvoapi::ContextIds::RowsetGetNextChunk);
}

bool kelvo_rowset_has_copy_data(const kelvo_rowset_t* rowset) {
    return rowset != nullptr && rowset->Get().HasCopyData();
}

kelvo_error_t* kelvo_rowset_get_copy_data(kelvo_rowset_t* rowset, char** buffer, size_t* length) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(rowset, "rowset", kelvoapi::ContextIds::RowsetGetCopyData);
            kelvoapi::ThrowIfNull(buffer, "buffer", kelvoapi::ContextIds::RowsetGetCopyData);
            kelvoapi::ThrowIfNull(length, "length", kelvoapi::ContextIds::RowsetGetCopyData);
            const std::pair<char*, size_t> data = rowset->Get().GetCopyData();
            *buffer = data.first;
            *length = data.second;
        },
        kelvoapi::ContextIds::RowsetGetCopyData);
}

void kelvo_rowset_free_copy_data(char* ptr) { PQfreemem(ptr); }

size_t kelvo_rowset_chunk_row_count(const kelvo_rowset_chunk_t* rowset_chunk) {
    return rowset_chunk == nullptr ? 0 : static_cast<const kelvoapi::RowsetChunk*>(rowset_chunk)->GetRowCount();
}

kelvo_value_t kelvo_rowset_chunk_field_value(const kelvo_rowset_chunk_t* rowset_chunk, kelvo_row_index_t row_index,
                                             kelvo_field_index_t field_index) {
    if (rowset_chunk == nullptr) {
        return kelvo_value_t{nullptr, 0};
    }
    return static_cast<const kelvoapi::RowsetChunk*>(rowset_chunk)->GetFieldValue(row_index, field_index);
}

const uint8_t* kelvo_rowset_chunk_field_value_byref(const kelvo_rowset_chunk_t* rowset_chunk,
                                                    kelvo_row_index_t row_index, kelvo_field_index_t field_index,
                                                    int* sizeOut) {
    int size = 0;
    const uint8_t* value = rowset_chunk == nullptr ? nullptr
                                                   : static_cast<const kelvoapi::RowsetChunk*>(rowset_chunk)
                                                         ->GetFieldValueByRef(row_index, field_index, &size);
    if (sizeOut != nullptr) {
        *sizeOut = size;
    }
    return value;
}

bool kelvo_rowset_chunk_field_is_null(const kelvo_rowset_chunk_t* rowset_chunk, kelvo_row_index_t row_index,
                                      kelvo_field_index_t field_index) {
    return rowset_chunk == nullptr ||
           static_cast<const kelvoapi::RowsetChunk*>(rowset_chunk)->IsFieldValueNull(row_index, field_index);
}

kelvo_error_t* kelvo_rowset_chunk_field_values(kelvo_rowset_chunk_t* rowset_chunk, size_t* col_count, size_t* row_count,
                                               const uint8_t* const** values, const size_t** sizes,
                                               const int8_t** null_flags) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            const kelvoapi::ContextId id = kelvoapi::ContextIds::RowsetChunkFieldValues;
            kelvoapi::ThrowIfNull(rowset_chunk, "rowset_chunk", id);
            kelvoapi::ThrowIfNull(col_count, "col_count", id);
            kelvoapi::ThrowIfNull(row_count, "row_count", id);
            kelvoapi::ThrowIfNull(values, "values", id);
            kelvoapi::ThrowIfNull(sizes, "sizes", id);
            kelvoapi::ThrowIfNull(null_flags, "null_flags", id);
            auto* chunk = static_cast<kelvoapi::RowsetChunk*>(rowset_chunk);
            chunk->Process();
            *col_count = chunk->GetColumnCount();
            *row_count = chunk->GetRowCount();
            *values = chunk->GetFieldValues();
            *sizes = chunk->GetFieldValueSizes();
            *null_flags = chunk->GetNullFlags();
        },
        kelvoapi::ContextIds::RowsetChunkFieldValues);
}

void kelvo_destroy_rowset_chunk(const kelvo_rowset_chunk_t* rowset_chunk) {
    delete static_cast<const kelvoapi::RowsetChunk*>(rowset_chunk);
}

// The C entry points of inserters and of COPY driven by the caller.
#include <memory>
#include <utility>

#include "api/inserter.h"
#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "kelvo/inserter.h"

namespace {
const kelvoapi::TableDefinition* AsDefinition(const kelvo_table_definition_t* definition) {
    return static_cast<const kelvoapi::TableDefinition*>(definition);
}
}  // namespace

kelvo_error_t* kelvo_create_inserter(kelvo_connection_t* connection, const kelvo_table_definition_t* table_definition_,
                                     kelvo_inserter_t** inserter) {
    constexpr kelvoapi::ContextId id = kelvoapi::ContextIds::CreateInserter;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(table_definition_, "table_definition_", id);
            kelvoapi::ThrowIfNull(inserter, "inserter", id);
            // Held until the inserter has taken its lease.
            const kelvoapi::CallClaim claim(connection->Get());
            auto inner = std::make_shared<kelvoapi::Inserter>(connection->Get(), AsDefinition(table_definition_));
            *inserter = new kelvo_inserter_t(std::move(inner), *connection);
        },
        id);
}

kelvo_error_t* kelvo_inserter_insert_chunk(kelvo_inserter_t* inserter, const uint8_t* data_chunk, size_t bytes) {
    constexpr kelvoapi::ContextId id = kelvoapi::ContextIds::InserterInsertChunk;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(inserter, "inserter", id);
            kelvoapi::ThrowIfNull(data_chunk, "data_chunk", id);
            inserter->Get().SendChunk(data_chunk, bytes);
        },
        id);
}

kelvo_error_t* kelvo_init_bulk_insert(kelvo_inserter_t* inserter, const kelvo_table_definition_t* table_definition_,
                                      const char* select_list) {
    constexpr kelvoapi::ContextId id = kelvoapi::ContextIds::InitBulkInsert;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(inserter, "inserter", id);
            kelvoapi::ThrowIfNull(table_definition_, "table_definition_", id);
            kelvoapi::ThrowIfNull(select_list, "select_list", id);
            inserter->Get().InitBulkInsert(AsDefinition(table_definition_), select_list);
        },
        id);
}

kelvo_error_t* kelvo_insert_computed_expressions(kelvo_inserter_t* inserter, const char* select_list) {
    constexpr kelvoapi::ContextId id = kelvoapi::ContextIds::InsertComputedExpressions;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(inserter, "inserter", id);
            kelvoapi::ThrowIfNull(select_list, "select_list", id);
            inserter->Get().InsertComputedExpressions(select_list);
        },
        id);
}

kelvo_error_t* kelvo_close_inserter(kelvo_inserter_t* inserter, bool insert_data) {
    constexpr kelvoapi::ContextId id = kelvoapi::ContextIds::CloseInserter;
    kelvo_error_t* error = kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(inserter, "inserter", id);
            inserter->Get().FinalizeInsert(insert_data);
        },
        id);
    // The inserter ends its life here (the connection is ready again) even
    // when an inserter buffer still holds it; then the handle's shares go.
    if (inserter != nullptr) {
        inserter->Get().Release();
    }
    delete inserter;
    return error;
}

kelvo_error_t* kelvo_copy_data(kelvo_connection_t* connection, const uint8_t* buffer, int size) {
    constexpr kelvoapi::ContextId id = kelvoapi::ContextIds::CopyData;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            if (size < 0) {
                throw kelvoapi::InvalidArgumentError("size", id);
            }
            if (size > 0) {
                kelvoapi::ThrowIfNull(buffer, "buffer", id);
            }
            kelvoapi::Inserter::CopyDataOnConnection(connection->Get(), buffer, size);
        },
        id);
}

kelvo_error_t* kelvo_copy_end(kelvo_connection_t* connection) {
    constexpr kelvoapi::ContextId id = kelvoapi::ContextIds::CopyEnd;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::Inserter::CopyEndOnConnection(connection->Get());
        },
        id);
}

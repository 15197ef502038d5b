// The inserter's construction, plain mode, the COPY primitives that both
// modes share, and its end-of-life report. Bulk mode is in bulk_insertion.cpp.
#include "api/inserter.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "api/data_chunk.h"
#include "api/logging.h"
#include "api/quoting.h"
#include "api/result_error.h"
#include "api/rowset.h"
#include "api/statement.h"
#include "error/error.h"
#include "error/sqlstate.h"
#include "instance/json_string.h"
#include "postgres/libpq/copy_data.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/scoped_result.h"

namespace kelvoapi {

namespace {
constexpr ContextId kUnsupportedColumn{0xefa77244};
constexpr ContextId kOpenCopyFailed{0x25a07c27};
constexpr ContextId kPutCopyDataFailed{0xdc3c1e26};
constexpr ContextId kPutCopyEndFailed{0x509b2d85};
constexpr size_t kCopyPieceBytes = 16 << 20;
constexpr ContextId kCopyCancelled{0x3df1553f};
constexpr ContextId kPlainNoResult{0x13f24943};
constexpr ContextId kPlainChunkFailed{0x13f24942};
constexpr ContextId kCopyFailed{0x13f24940};
constexpr ContextId kChunkTooShort{0x6e0d93b1};
constexpr ContextId kChunkTooLarge{0x4c8e27a5};
constexpr ContextId kInserterClosed{0x7a41c3e9};

constexpr auto kFullBufferWait = std::chrono::milliseconds(50);
const char* const kCopyCancelledText = "COPY-IN cancelled.";

std::string CopyStatement(const std::string& target, const std::string& columns) {
    return "COPY " + target + columns + " FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)";
}

std::string ColumnPart(const TableDefinition& definition) {
    if (definition.GetColumnCount() == 0 || definition.IsStream()) {
        return {};
    }
    return " (" + definition.GenerateColumnNamesSQL() + ")";
}

}  // namespace

Inserter::Inserter(Connection& connection, const TableDefinition* tableDefinition)
    : m_connection(connection),
      m_transport_connection(&connection),
      m_database_name(tableDefinition->GetDatabaseName()),
      m_schema_name(tableDefinition->GetSchemaName()),
      m_table_name(tableDefinition->GetTableName()),
      m_table_definition(*tableDefinition) {
    m_connection.ThrowIfBusy();
    m_connection.QualifyTableName(m_database_name, m_schema_name, m_table_name);
    m_qualified_quoted_table_name = MakeQualifiedQuotedIdentifier(m_database_name, m_schema_name, m_table_name);
    for (const TableDefinition::Column& column : tableDefinition->GetColumns()) {
        if (column.m_type.m_tag == KELVO_UNSUPPORTED) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::FeatureNotSupported),
                        "Cannot create an inserter for the table " + m_qualified_quoted_table_name + ". " +
                            "The column " + QuoteIdentifier(column.m_name) + " is of a type that is not supported.",
                        kUnsupportedColumn);
        }
    }
    m_copy_stmt = CopyStatement(m_qualified_quoted_table_name, ColumnPart(*tableDefinition));
    Log(KELVO_LOG_LEVEL_INFO, "inserter-begin", "{\"table-name\":" + QuoteJsonString(m_table_name) + "}");
    m_busy.emplace(m_connection);
}

Inserter::~Inserter() { Release(); }

bool Inserter::PlainCopyReadsAsSent() {
    const std::string prefix = m_database_name.empty() ? std::string() : QuoteIdentifier(m_database_name) + ".";
    std::set<std::string> notNull;
    std::unique_ptr<Rowset> rowset = ExecuteQuery(
        m_connection,
        "SELECT a.attname FROM " + prefix + "pg_catalog.pg_attribute a JOIN " + prefix +
            "pg_catalog.pg_class cl ON a.attrelid = cl.oid JOIN " + prefix +
            "pg_catalog.pg_namespace n ON n.oid = cl.relnamespace WHERE a.attnum > 0 AND NOT a.attisdropped AND "
            "a.attnotnull AND cl.relname = " +
            QuoteStringLiteral(m_table_name) + " AND n.nspname = " + QuoteStringLiteral(m_schema_name),
        false);
    while (std::unique_ptr<RowsetChunk> chunk = rowset->GetNextChunk()) {
        for (size_t row = 0; row < chunk->GetRowCount(); ++row) {
            const kelvo_value_t name = chunk->GetFieldValue(static_cast<kelvo_row_index_t>(row), 0);
            notNull.emplace(reinterpret_cast<const char*>(name.value), name.size);
        }
    }
    rowset->Close();
    for (const TableDefinition::Column& column : m_table_definition.GetColumns()) {
        if (column.m_type.m_nullable == (notNull.count(column.m_name) != 0)) {
            return false;
        }
    }
    return true;
}

bool Inserter::TakesPlainChunks(const TableDefinition& definition, const std::string& selectList) const {
    const size_t first = selectList.find_first_not_of(" \t\r\n");
    const bool everyColumn = first != std::string::npos && selectList[first] == '*' &&
                             selectList.find_first_not_of(" \t\r\n", first + 1) == std::string::npos;
    if (!everyColumn || definition.GetColumnCount() != m_table_definition.GetColumnCount()) {
        return false;
    }
    for (size_t i = 0; i < definition.GetColumnCount(); ++i) {
        const Type& encoded = definition.GetColumn(i).m_type;
        const Type& expected = m_table_definition.GetColumn(i).m_type;
        if (definition.GetColumn(i).m_name != m_table_definition.GetColumn(i).m_name ||
            encoded.m_tag != expected.m_tag || encoded.m_nullable != expected.m_nullable) {
            return false;
        }
    }
    return true;
}

void Inserter::Release() noexcept {
    if (m_released) {
        return;
    }
    m_released = true;
    try {
        LogEnd();
    } catch (...) {
        // The report is lost, the connections below are still released.
    }
    if (m_stream_connection) {
        m_stream_connection->Close();
        m_stream_connection.reset();
    }
    // A task still runs only when the close failed before taking it; its
    // INSERT BULK would wait for a stream that nobody closes any more, so it
    // is cancelled rather than waited for without end.
    if (m_bulk_insert.valid()) {
        if (!BulkInsertEnded()) {
            try {
                CancelBulkInsert(false);
            } catch (...) {
            }
        }
        m_bulk_insert.wait();
        m_bulk_insert = std::future<void>();
    }
    if (m_main_socket >= 0) {
        ::close(m_main_socket);
        m_main_socket = -1;
    }
    // Only now is the main connection nobody else's.
    m_busy.reset();
}

void Inserter::ThrowIfReleased() const {
    if (m_released) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::ObjectNotInPrerequisiteState), "The inserter is closed.",
                    kInserterClosed);
    }
}

bool Inserter::BulkInsertEnded() const {
    return m_bulk_insert.valid() && m_bulk_insert.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void Inserter::LogEnd() const {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - m_startTime).count();
    const long long milliseconds = elapsed / 1000000;
    std::string json = "{\"table-name\":" + QuoteJsonString(m_table_name);
    if (elapsed > 0 && m_totalChunks != 0) {
        json += ",\"elapsed-msec\":" + std::to_string(milliseconds);
    }
    if (m_totalChunks != 0) {
        json += ",\"chunk-count\":" + std::to_string(m_totalChunks);
    }
    if (m_totalBytes != 0) {
        json += ",\"byte-count\":" + std::to_string(m_totalBytes);
        if (elapsed >= 1000000) {
            char rate[64];
            std::snprintf(rate, sizeof rate, "%.2f", m_totalBytes / 1000.0 / static_cast<double>(milliseconds));
            json += ",\"mb-per-sec\":";
            json += rate;
        }
    }
    if (m_transport_connection != &m_connection) {
        json += ",\"bulk\":\"true\"";
    }
    if (m_throttled >= 11) {
        json += ",\"throttled-msec\":" + std::to_string(m_throttled);
    }
    json += "}";
    Log(KELVO_LOG_LEVEL_INFO, "inserter-end", json);
}

void Inserter::SendChunk(const uint8_t* data, size_t size) {
    ThrowIfReleased();
    // The protocol client takes a copy length as an int; a larger chunk would
    // reach it as a negative or truncated count.
    if (size > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::ProgramLimitExceeded),
                    "A data chunk of " + std::to_string(size) + " bytes is too large to send.", kChunkTooLarge);
    }
    if (m_totalChunks == 0) {
        m_startTime = std::chrono::steady_clock::now();
    }
    // The server reads a plain COPY with the table's own nullability: a
    // definition that differs goes through a stream of its own shape.
    if (!m_stream_connection && m_totalChunks == 0 && !m_ongoing_query && !PlainCopyReadsAsSent()) {
        InitBulkInsert(&m_table_definition, "*");
    }
    if (m_stream_connection) {
        SendBulkChunk(data, size);
    } else {
        SendPlainChunk(data, size);
    }
}

void Inserter::SendPlainChunk(const uint8_t* data, size_t size) {
    if (m_totalChunks != 0) {
        // Every chunk starts with the header, which the open COPY already had.
        if (size < DataChunk::m_header_size) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                        "A data chunk is too short: it must begin with the 19-byte header.", kChunkTooShort);
        }
        data += DataChunk::m_header_size;
        size -= DataChunk::m_header_size;
    } else {
        CopyStart();
    }
    CopyData(data, size);
    PGconn* conn = m_transport_connection->GetPGconn();
    ScopedPGresult result(PQgetResult(conn));
    if (!result) {
        throw MakeError(conn, kPlainNoResult);
    }
    if (PQresultStatus(result.get()) == PGRES_COPY_IN) {
        ++m_totalChunks;
        m_totalBytes += size;
        return;
    }
    Error error = MakeError(result.get(), kPlainChunkFailed);
    CleanupResults(*m_transport_connection, std::move(result));
    // The server ended the COPY with its error; closing must not end it again
    // and report a second, misleading failure.
    m_ongoing_query = false;
    throw error;
}

void Inserter::Throttle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    m_throttled += 100;
}

void Inserter::CopyStart() {
    if (BulkInsertFailed()) {
        return;
    }
    PGconn* conn = m_transport_connection->GetPGconn();
    const auto giveUp = std::chrono::steady_clock::now() + kThrottleLimit;
    for (;;) {
        ScopedPGresult result(PQexec(conn, m_copy_stmt.c_str()));
        if (PQresultStatus(result.get()) == PGRES_COPY_IN) {
            m_ongoing_query = true;
            return;
        }
        if (result && getSqlstate(result.get()) == static_cast<int>(kelvo::Sqlstate::ConfigurationLimitExceeded) &&
            std::chrono::steady_clock::now() < giveUp) {
            result.reset();
            Throttle();
            if (BulkInsertFailed()) {
                return;
            }
            continue;
        }
        // No result at all is a lost connection: its own text says why.
        if (!result) {
            throw MakeError(conn, kOpenCopyFailed);
        }
        throw MakeError(result.get(), kOpenCopyFailed);
    }
}

template <typename Cancel>
Inserter::CopyDataState Inserter::copy_data(Connection& connection, const uint8_t* data, size_t size, Cancel cancel) {
    if (cancel()) {
        return CopyDataState::CANCEL;
    }
    PGconn* conn = connection.GetPGconn();
    // The server takes messages of up to 64 MiB: a larger chunk goes in
    // pieces, which the COPY reads as one stream of bytes.
    size_t offset = 0;
    do {
        const size_t piece = std::min(size - offset, kCopyPieceBytes);
        int sent;
        while ((sent = PQputCopyData(conn, reinterpret_cast<const char*>(data + offset), static_cast<int>(piece))) !=
               1) {
            if (sent == -1) {
                throw MakeError(conn, kPutCopyDataFailed);
            }
            std::this_thread::sleep_for(kFullBufferWait);
            if (cancel()) {
                return CopyDataState::CANCEL;
            }
        }
        offset += piece;
    } while (offset < size);
    return CopyDataState::SUCCESS;
}

void Inserter::CopyData(const uint8_t* data, size_t size) {
    bool endedHere = false;
    try {
        const CopyDataState state =
            copy_data(*m_transport_connection, data, size, [this] { return BulkInsertFailed(); });
        if (m_stream_connection && (state == CopyDataState::SUCCESS || m_ongoing_query)) {
            endedHere = true;
            CopyEnd();
        }
    } catch (const Error&) {
        // A failed CopyEnd has already tried to end the COPY; trying again
        // would only replace its error with a less telling one.
        if (!endedHere) {
            try {
                CopyEnd();
            } catch (const Error&) {
                m_ongoing_query = false;
                throw;
            }
        }
        m_ongoing_query = false;
        throw;
    }
}

void Inserter::CopyEnd() {
    try {
        PutCopyEnd(*m_transport_connection, BulkInsertFailed() ? kCopyCancelledText : nullptr);
    } catch (...) {
        m_ongoing_query = false;
        throw;
    }
}

void Inserter::PutCopyEnd(Connection& connection, const char* message) {
    PGconn* conn = connection.GetPGconn();
    int ended;
    while ((ended = PQputCopyEnd(conn, message)) == 0) {
        std::this_thread::sleep_for(kFullBufferWait);
    }
    if (message != nullptr) {
        CleanupResults(connection, ScopedPGresult(PQgetResult(conn)));
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::QueryCanceled), message, kCopyCancelled);
    }
    if (ended == -1) {
        Error error = MakeError(conn, kPutCopyEndFailed);
        CleanupResults(connection, ScopedPGresult(PQgetResult(conn)));
        throw error;
    }
}

void Inserter::FinalizeInsert(bool insertData) {
    ThrowIfReleased();
    if (m_stream_connection) {
        FinalizeBulk(insertData);
    } else {
        FinalizePlain();
    }
}

void Inserter::FinalizePlain() {
    if (!m_ongoing_query) {
        return;
    }
    CopyEnd();
    m_ongoing_query = false;
    PGconn* conn = m_transport_connection->GetPGconn();
    while (ScopedPGresult result{PQgetResult(conn)}) {
        if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) {
            continue;
        }
        Error error = MakeError(result.get(), kCopyFailed);
        CleanupResults(*m_transport_connection, std::move(result));
        throw error;
    }
}

void Inserter::CopyDataOnConnection(Connection& connection, const uint8_t* data, int size) {
    connection.ThrowIfBusy();
    copy_data(connection, data, static_cast<size_t>(size), [] { return false; });
}

void Inserter::CopyEndOnConnection(Connection& connection) {
    connection.ThrowIfBusy();
    PutCopyEnd(connection, nullptr);
    CleanupResultsReportingErrors(connection, GetResult(connection), kCopyFailed);
}

}  // namespace kelvoapi

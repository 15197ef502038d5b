// The inserter's bulk mode: the stream connection, the server-side external
// stream, the background INSERT BULK task, sending chunks into the stream
// and closing it all down.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "api/inserter.h"
#include "api/logging.h"
#include "api/quoting.h"
#include "api/result_error.h"
#include "api/rowset.h"
#include "api/statement.h"
#include "error/error.h"
#include "error/sqlstate.h"
#include "postgres/libpq/connect.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/scoped_result.h"

namespace kelvoapi {

namespace {
constexpr ContextId kStreamConnectionFailed{0xb4a8482c};
constexpr ContextId kTaskEndedAtOnce{0x51d2cd35};
constexpr ContextId kBulkChunkFailed{0x13f24940};
constexpr ContextId kBadStreamConnection{0xd406b94f};
constexpr ContextId kSettingMissing{0x8c03e6f1};
constexpr ContextId kSwitchAfterCopy{0x2f9b40d6};

constexpr ContextId kBulkInsertRunning{0x1b5e9c44};
constexpr ContextId kEndedBeforeClose{0x2d7f0a63};

constexpr auto kCancelInterval = std::chrono::milliseconds(100);
// How long cancel requests may go unanswered before the task's connection is
// cut instead.
constexpr auto kCancelLimit = std::chrono::seconds(5);

// Keeps `later` as the last cause in `first`'s chain: the first failure is
// the one reported, what followed from it stays readable behind it.
void AppendCause(Error& first, Error&& later) {
    Error* last = &first;
    while (last->GetCause() != nullptr) {
        last = last->GetCause();
    }
    last->SetCause(std::move(later));
}

std::string Rendering(const Error& error) {
    std::ostringstream text;
    PrintTo(text, error);
    return text.str();
}

// The first field of the first row, or none when the query gave no row.
std::optional<std::string> FirstField(Connection& connection, const std::string& query) {
    std::unique_ptr<Rowset> rowset = ExecuteQuery(connection, query, false);
    std::unique_ptr<RowsetChunk> chunk = rowset->GetNextChunk();
    std::optional<std::string> value;
    if (chunk && chunk->GetRowCount() > 0) {
        int size = 0;
        const uint8_t* bytes = chunk->GetFieldValueByRef(0, 0, &size);
        value.emplace(reinterpret_cast<const char*>(bytes), size > 0 ? static_cast<size_t>(size) : 0);
    }
    chunk.reset();
    rowset->Close();
    return value;
}

void TransferSetting(const std::string& name, Connection& source, Connection& target, bool quote) {
    std::optional<std::string> value = FirstField(source, "SHOW " + name);
    if (!value) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::UndefinedObject),
                    "The server did not report the setting " + name + ".", kSettingMissing);
    }
    ExecuteCommand(target, "SET " + name + " = " + (quote ? QuoteStringLiteral(*value) : *value), false);
}
}  // namespace

void Inserter::InitBulkInsert(const TableDefinition* streamDefinition, const std::string& selectList) {
    ThrowIfReleased();
    if (m_stream_connection) {
        return;
    }
    // The main connection is inside the plain COPY: every statement of the
    // switch would fail there, and the close would then take the bulk path
    // and never end that COPY, losing the rows already sent. Staying plain
    // keeps them.
    if (m_ongoing_query) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::ObjectNotInPrerequisiteState),
                    "Cannot switch to bulk insertion after data was sent over the plain COPY.", kSwitchAfterCopy);
    }
    try {
        m_stream_connection = m_connection.Clone();
    } catch (Error& error) {
        Error wrapped(kelvo::make_error_code(kelvo::Sqlstate::SqlclientUnableToEstablishSqlconnection),
                      "Failed to create a connection for the bulk insertion stream.", kStreamConnectionFailed);
        wrapped.SetCause(std::move(error));
        throw wrapped;
    }
    if (!m_stream_connection) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::SqlclientUnableToEstablishSqlconnection),
                    "Failed to create a connection for the bulk insertion stream.", kStreamConnectionFailed);
    }
    TransferSetting("search_path", m_connection, *m_stream_connection, false);
    TransferSetting("schema_search_path", m_connection, *m_stream_connection, false);
    TransferSetting("external_client_context", m_connection, *m_stream_connection, true);
    CreateBulkInsertStream(streamDefinition);

    const std::string statement = "INSERT BULK INTO " + m_qualified_quoted_table_name + " (" +
                                  m_table_definition.GenerateColumnNamesSQL() + ")" + " (SELECT " + selectList +
                                  " FROM EXTERNAL STREAM " + m_qualified_quoted_stream_name + ")";
    m_main_socket = ::dup(PQsocket(m_connection.GetPGconn()));
    m_bulk_insert = std::async(std::launch::async, [this, statement] { RunBulkInsert(statement); });
    if (m_bulk_insert.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        std::future<void> task = std::move(m_bulk_insert);
        task.get();
        throw MakeError(m_connection.GetPGconn(), kTaskEndedAtOnce);
    }
    m_transport_connection = m_stream_connection.get();
    m_copy_stmt = "COPY " + m_qualified_quoted_stream_name + " FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)";
}

void Inserter::CreateBulkInsertStream(const TableDefinition* streamDefinition) {
    std::string name = "__Insert_Stream__" + m_table_name + "__";
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    // A temporary table's schema holds no streams: its stream goes where an
    // unqualified name puts it, which both sessions resolve alike.
    const bool temporary = m_schema_name == "pg_temp";
    const std::string database = temporary ? std::string() : m_database_name;
    const std::string schema = database.empty() ? std::string() : m_schema_name;

    const std::string create = streamDefinition->GenerateCreateStreamSQL(database, schema, name, false);
    Log(KELVO_LOG_LEVEL_TRACE, "inserter-bulk-insert-stream-create", create);
    try {
        ExecuteCommand(m_connection, create, false);
    } catch (Error& first) {
        Log(KELVO_LOG_LEVEL_TRACE, "inserter-bulk-insert-stream-create-error", ToString(first));
        const std::string prefix = database.empty() ? std::string() : QuoteIdentifier(database) + ".pg_catalog.";
        try {
            for (unsigned long long i = 0;; ++i) {
                const std::string candidate = name + std::to_string(i) + "__";
                const std::optional<std::string> taken =
                    FirstField(m_connection, "SELECT 1 FROM " + prefix + "pg_class r WHERE r.relname = " +
                                                 QuoteStringLiteral(candidate) + " AND r.relkind = 'x'");
                if (taken) {
                    continue;
                }
                const std::string retry = streamDefinition->GenerateCreateStreamSQL(database, schema, candidate, false);
                Log(KELVO_LOG_LEVEL_TRACE, "inserter-bulk-insert-stream-create", retry);
                ExecuteCommand(m_connection, retry, false);
                name = candidate;
                break;
            }
        } catch (const Error& later) {
            Log(KELVO_LOG_LEVEL_TRACE, "inserter-bulk-insert-stream-create-error", ToString(later));
            throw first;
        }
    }
    m_qualified_quoted_stream_name = MakeQualifiedQuotedIdentifier(database, schema, name);
}

void Inserter::RunBulkInsert(const std::string& statement) {
    Log(KELVO_LOG_LEVEL_TRACE, "inserter-bulk-insert-begin", statement);
    m_bulk_insert_failed.exchange(false);
    try {
        ExecuteCommand(m_connection, statement, false);
    } catch (...) {
        // Seen by the caller's thread, which then stops sending chunks.
        m_bulk_insert_failed.exchange(true);
        throw;
    }
    Log(KELVO_LOG_LEVEL_TRACE, "inserter-bulk-insert-end", statement);
}

void Inserter::InsertComputedExpressions(const std::string& selectList) {
    ThrowIfReleased();
    // The bulk task reads the main connection from another thread until the
    // close has taken its outcome.
    if (m_bulk_insert.valid()) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::ObjectInUse),
                    "The connection is in use by this inserter's bulk insertion until the inserter is closed.",
                    kBulkInsertRunning);
    }
    ExecuteCommand(m_connection,
                   "INSERT BULK INTO " + m_qualified_quoted_table_name + " (" +
                       m_table_definition.GenerateColumnNamesSQL() + ")" + " (SELECT " + selectList + ")",
                   false);
}

void Inserter::SendBulkChunk(const uint8_t* data, size_t size) {
    CopyStart();
    CopyData(data, size);
    if (!m_ongoing_query) {
        return;
    }
    PGconn* conn = m_transport_connection->GetPGconn();
    const auto giveUp = std::chrono::steady_clock::now() + kThrottleLimit;
    for (;;) {
        ScopedPGresult result(PQgetResult(conn));
        if (!result) {
            m_ongoing_query = false;
            ++m_totalChunks;
            m_totalBytes += size;
            return;
        }
        const ExecStatusType status = PQresultStatus(result.get());
        if (status != PGRES_BAD_RESPONSE && status != PGRES_NONFATAL_ERROR && status != PGRES_FATAL_ERROR) {
            continue;
        }
        if (getSqlstate(result.get()) == static_cast<int>(kelvo::Sqlstate::ConfigurationLimitExceeded) &&
            std::chrono::steady_clock::now() < giveUp) {
            CleanupResults(*m_transport_connection, std::move(result));
            Throttle();
            CopyStart();
            CopyData(data, size);
            if (!m_ongoing_query) {
                return;
            }
            continue;
        }
        m_ongoing_query = false;
        Error error = MakeError(result.get(), kBulkChunkFailed);
        CleanupResults(*m_transport_connection, std::move(result));
        throw error;
    }
}

void Inserter::CancelBulkInsert(bool reportCancelFailure) {
    const auto giveUp = std::chrono::steady_clock::now() + kCancelLimit;
    while (!BulkInsertEnded()) {
        try {
            m_connection.Cancel();
        } catch (...) {
            if (reportCancelFailure) {
                throw;
            }
        }
        if (m_bulk_insert.wait_for(kCancelInterval) == std::future_status::ready) {
            return;
        }
        if (std::chrono::steady_clock::now() >= giveUp && m_main_socket >= 0) {
            // Nothing answers the cancels: the server is stuck or gone. Cutting
            // the socket ends the task's wait; the main connection is lost.
            Log(KELVO_LOG_LEVEL_WARNING, "inserter-error",
                "The bulk insertion did not end after cancel requests; its connection is shut down.");
            ::shutdown(m_main_socket, SHUT_RDWR);
            m_bulk_insert.wait();
            return;
        }
    }
}

void Inserter::TakeCancelledBulkInsert() {
    std::future<void> task = std::move(m_bulk_insert);
    try {
        task.get();
    } catch (const Error&) {
        // The cancellation asked for.
    }
}

void Inserter::FinalizeBulk(bool insertData) {
    // Closed and released on every way out.
    struct CloseOnExit {
        std::unique_ptr<Connection> connection;
        ~CloseOnExit() {
            if (connection) {
                connection->Close();
            }
        }
    } stream{std::move(m_stream_connection)};
    Connection& streamConnection = *stream.connection;
    // The transport still names the stream connection, so the end-of-life
    // report keeps saying the load went in bulk; nothing sends on it anymore.

    if (streamConnection.GetStatus() != KELVO_CONNECTION_OK) {
        Error badState(kelvo::make_error_code(kelvo::Sqlstate::ConnectionFailure),
                       "Insert failed: The internal connection is in a bad state.", kBadStreamConnection);
        // A server that went away ends the task at once, with the first and
        // most telling account of it.
        if (m_bulk_insert.valid() && m_bulk_insert.wait_for(kCancelInterval) == std::future_status::ready) {
            std::future<void> task = std::move(m_bulk_insert);
            try {
                task.get();
            } catch (Error& first) {
                AppendCause(first, std::move(badState));
                throw std::move(first);
            } catch (...) {
            }
        }
        throw badState;
    }
    std::optional<Error> saved;

    if (!insertData && m_bulk_insert.valid()) {
        CancelBulkInsert(true);
        TakeCancelledBulkInsert();
    }
    // The INSERT BULK reads the stream until it is closed below; one that has
    // already ended read only part of what was sent.
    const bool endedBeforeClose = m_bulk_insert.valid() && BulkInsertEnded();

    const std::string& stream_name = m_qualified_quoted_stream_name;
    if (!stream_name.empty()) {
        Log(KELVO_LOG_LEVEL_TRACE, "inserter-flush", "Closing insertion stream" + stream_name);
        const std::string close = "CLOSE EXTERNAL STREAM " + stream_name;
        try {
            ExecuteCommand(streamConnection, close, false);
        } catch (const Error& c) {
            Log(KELVO_LOG_LEVEL_WARNING, "inserter-error",
                "`Inserter::Flush()` got a `kelvoapi::Error` during `CLOSE EXTERNAL STREAM`:\n\n" + Rendering(c));
            std::unique_ptr<Connection> clone;
            try {
                clone = m_connection.Clone();
            } catch (Error& d) {
                Log(KELVO_LOG_LEVEL_WARNING, "inserter-error",
                    "`Inserter::Flush()` got a `kelvoapi::Error` while establishing a dedicated connection:\n\n" +
                        Rendering(d));
                saved = std::move(d);
                // Nobody can close the stream now, so the INSERT BULK would
                // wait for it without end: cancel it and report why.
                if (m_bulk_insert.valid() &&
                    m_bulk_insert.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                    CancelBulkInsert(false);
                    TakeCancelledBulkInsert();
                }
            }
            if (clone) {
                try {
                    ExecuteCommand(*clone, close, false);
                    Log(KELVO_LOG_LEVEL_TRACE, "inserter-flush",
                        "`CLOSE EXTERNAL STREAM` with dedicated connection succeeded for " + stream_name);
                } catch (Error& f) {
                    Log(KELVO_LOG_LEVEL_WARNING, "inserter-error",
                        "`Inserter::Flush()` got a `kelvoapi::Error` during `CLOSE EXTERNAL STREAM` over dedicated "
                        "connection:\n\n" +
                            Rendering(f));
                    saved = std::move(f);
                    try {
                        m_connection.Cancel();
                    } catch (const Error&) {
                        // The close already reports F.
                    }
                }
                clone->Close();
            }
        }
    }

    if (m_bulk_insert.valid()) {
        std::future<void> task = std::move(m_bulk_insert);
        try {
            task.get();
            if (endedBeforeClose) {
                Error early(kelvo::make_error_code(kelvo::Sqlstate::ObjectNotInPrerequisiteState),
                            "The bulk insertion ended before its stream was closed; rows sent after its end were not "
                            "inserted.",
                            kEndedBeforeClose);
                if (saved) {
                    early.SetCause(std::move(*saved));
                }
                saved = std::move(early);
            }
        } catch (Error& e) {
            // The task's error comes first: what the close met follows from it.
            if (saved) {
                AppendCause(e, std::move(*saved));
            }
            saved = std::move(e);
        }
    }

    if (!stream_name.empty()) {
        Log(KELVO_LOG_LEVEL_TRACE, "inserter-flush", "Dropping the bulk insertion stream " + stream_name + ".");
        try {
            ExecuteCommand(streamConnection, "DROP EXTERNAL STREAM IF EXISTS " + stream_name, false);
        } catch (Error& drop) {
            if (!saved) {
                throw;
            }
            AppendCause(*saved, std::move(drop));
        }
    }
    Log(KELVO_LOG_LEVEL_TRACE, "inserter-flush",
        "Closing the connection for the bulk insertion stream " + stream_name + ".");
    streamConnection.Close();
    if (saved) {
        throw std::move(*saved);
    }
}

}  // namespace kelvoapi

// External streams and INSERT BULK. The reading statement takes the stream's
// batches one by one: straight into the target through the appender when its
// select list takes the stream's columns as they are, else through a temporary
// table of the stream's shape and the caller's select list. All of it runs in
// one transaction: a failed or cancelled insertion leaves the table as it was.
#include <poll.h>

#include <atomic>
#include <cctype>
#include <cstdio>

#include "kelvod/engine_appender.h"
#include "kelvod/engine_errors.h"
#include "kelvod/session.h"

namespace kelvod {

namespace {

constexpr auto kStreamPollInterval = std::chrono::milliseconds(100);

std::string Joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : ".") + p;
    return out;
}

std::string QuotedName(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : ".") + QuoteIdentifier(p);
    return out;
}

std::string EngineTypeSql(const CopyColumn& c) {
    switch (c.type) {
    case DUCKDB_TYPE_BOOLEAN: return "BOOLEAN";
    case DUCKDB_TYPE_SMALLINT: return "SMALLINT";
    case DUCKDB_TYPE_INTEGER: return "INTEGER";
    case DUCKDB_TYPE_UINTEGER: return "UINTEGER";
    case DUCKDB_TYPE_BIGINT: return "BIGINT";
    case DUCKDB_TYPE_DOUBLE: return "DOUBLE";
    case DUCKDB_TYPE_DATE: return "DATE";
    case DUCKDB_TYPE_TIME: return "TIME";
    case DUCKDB_TYPE_TIMESTAMP: return "TIMESTAMP";
    case DUCKDB_TYPE_TIMESTAMP_TZ: return "TIMESTAMPTZ";
    case DUCKDB_TYPE_INTERVAL: return "INTERVAL";
    case DUCKDB_TYPE_DECIMAL: return "DECIMAL(" + std::to_string(c.width) + "," + std::to_string(c.scale) + ")";
    case DUCKDB_TYPE_BLOB: return "BLOB";
    default: return "VARCHAR";
    }
}

// The cell layout of a declared stream column, from the engine type the declaration maps to.
CopyColumn StreamColumn(const ColumnDefinition& d) {
    CopyColumn c;
    c.name = d.name;
    c.nullable = !d.notNull;
    const std::string& e = d.type.engineType;
    if (e == "BOOLEAN") c.type = DUCKDB_TYPE_BOOLEAN;
    else if (e == "BIGINT") c.type = DUCKDB_TYPE_BIGINT;
    else if (e == "SMALLINT") c.type = DUCKDB_TYPE_SMALLINT;
    else if (e == "INTEGER") c.type = DUCKDB_TYPE_INTEGER;
    else if (e == "UINTEGER") c.type = DUCKDB_TYPE_UINTEGER;
    else if (e == "DOUBLE") c.type = DUCKDB_TYPE_DOUBLE;
    else if (e == "BLOB") c.type = DUCKDB_TYPE_BLOB;
    else if (e == "DATE") c.type = DUCKDB_TYPE_DATE;
    else if (e == "INTERVAL") c.type = DUCKDB_TYPE_INTERVAL;
    else if (e == "TIME") c.type = DUCKDB_TYPE_TIME;
    else if (e == "TIMESTAMP") c.type = DUCKDB_TYPE_TIMESTAMP;
    else if (e == "TIMESTAMPTZ") c.type = DUCKDB_TYPE_TIMESTAMP_TZ;
    else if (e.rfind("DECIMAL(", 0) == 0) {
        c.type = DUCKDB_TYPE_DECIMAL;
        unsigned width = 0, scale = 0;
        std::sscanf(e.c_str(), "DECIMAL(%u,%u)", &width, &scale);
        c.width = static_cast<uint8_t>(width);
        c.scale = static_cast<uint8_t>(scale);
    } else {
        c.type = DUCKDB_TYPE_VARCHAR;  // TEXT, VARCHAR, CHAR, JSON
    }
    return c;
}

// Whether the select list is "*" or names the stream's columns in their order.
bool SelectsStreamColumns(const Statement& list, const std::vector<CopyColumn>& columns) {
    auto t = list.Significant();
    if (t.size() == 1 && t[0]->kind == Token::Kind::Symbol && t[0]->text == "*") return true;
    size_t k = 0;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) {
            if (k >= t.size() || t[k]->kind != Token::Kind::Symbol || t[k]->text != ",") return false;
            ++k;
        }
        if (k >= t.size() || (t[k]->kind != Token::Kind::Word && t[k]->kind != Token::Kind::Identifier) ||
            !EqualsFolded(t[k]->value, columns[i].name))
            return false;
        ++k;
    }
    return k == t.size();
}

}  // namespace

bool Session::ClientGone() const {
    pollfd p{m_fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

StreamRegistry::Key Session::StreamKey(const std::vector<std::string>& name) const {
    std::string first = m_databases.empty() ? "" : m_databases.front();
    if (name.size() == 3) {
        bool attached = false;
        for (const auto& d : m_databases) attached |= StreamRegistry::MakeKey(d, "", "") == StreamRegistry::MakeKey(name[0], "", "");
        if (!attached) throw SqlError("3F000", "The database \"" + name[0] + "\" is not attached to this session.");
        return StreamRegistry::MakeKey(name[0], name[1], name[2]);
    }
    if (name.size() == 2) return StreamRegistry::MakeKey(first, name[0], name[1]);
    // An unqualified stream lives in the first database's "public" schema, or in
    // "main" for a database file that has no "public".
    std::string schema = "public";
    if (!first.empty() &&
        QueryText(m_connection, "SELECT 1 FROM duckdb_schemas() WHERE database_name = " + QuoteLiteral(first) +
                                    " AND schema_name = 'public'")
            .empty())
        schema = "main";
    return StreamRegistry::MakeKey(first, schema, name[0]);
}

std::shared_ptr<ExternalStream> Session::FindStream(const std::vector<std::string>& name) const {
    return m_server.Streams().Find(StreamKey(name));
}

void Session::CreateStream(const CreateStreamCommand& command) {
    std::vector<CopyColumn> columns;
    for (const auto& d : command.columns) columns.push_back(StreamColumn(d));
    auto key = StreamKey(command.name);
    const std::string& database = std::get<0>(key);
    if (!database.empty() &&
        QueryText(m_connection, "SELECT 1 FROM duckdb_schemas() WHERE lower(database_name) = " + QuoteLiteral(database) +
                                    " AND schema_name = " + QuoteLiteral(std::get<1>(key)))
            .empty())
        throw SqlError("3F000", "The schema \"" + std::get<1>(key) + "\" does not exist.");
    auto stream = std::make_shared<ExternalStream>(Joined(command.name), std::move(columns), m_pid);
    auto added = m_server.Streams().Add(key, stream);
    if (added == StreamRegistry::AddResult::Added) return;
    if (added == StreamRegistry::AddResult::TooMany)
        throw SqlError("54000", "The server holds " + std::to_string(kMaxStreams) + " external streams already.",
                       "Drop streams that are no longer used.");
    if (command.ifNotExists) {
        Notice("42P07", "The external stream \"" + Joined(command.name) + "\" already exists, skipping.");
        return;
    }
    throw SqlError("42P07", "The external stream \"" + Joined(command.name) + "\" already exists.");
}

void Session::CloseStream(const CloseStreamCommand& command) {
    auto stream = FindStream(command.name);
    if (!stream) throw SqlError("42P01", "The external stream \"" + Joined(command.name) + "\" does not exist.");
    stream->Close();
}

void Session::DropStream(const DropStreamCommand& command) {
    if (m_server.Streams().Remove(StreamKey(command.name))) return;
    if (command.ifExists) {
        Notice("00000", "The external stream \"" + Joined(command.name) + "\" does not exist, skipping.");
        return;
    }
    throw SqlError("42P01", "The external stream \"" + Joined(command.name) + "\" does not exist.");
}

void Session::InsertBulk(const InsertBulkCommand& command) {
    if (!command.stream.empty()) {
        InsertFromStream(command);
        return;
    }
    std::string columns;
    for (const auto& c : command.columns) columns += (columns.empty() ? "" : ", ") + QuoteIdentifier(c);
    std::string text = "INSERT INTO " + QuotedName(command.target) + (columns.empty() ? "" : " (" + columns + ")") +
                       " SELECT " + command.selectList.ToEngineText();
    auto statements = SplitStatements(text);
    RunEngineStatement(statements.front(), RewriteForEngine(statements.front(), m_connection, Names()), {}, false, {});
}

void Session::InsertFromStream(const InsertBulkCommand& command) {
    auto stream = FindStream(command.stream);
    if (!stream) throw SqlError("42P01", "The external stream \"" + Joined(command.stream) + "\" does not exist.");
    if (!stream->AttachReader())
        throw SqlError("55006", "The external stream \"" + stream->DisplayName() + "\" is read by another statement.");
    bool finished = false;
    struct ReaderGuard {
        ExternalStream& stream;
        bool& finished;
        ~ReaderGuard() { stream.DetachReader(finished); }
    } readerGuard{*stream, finished};

    // Cancel requests reach this statement while it waits for batches.
    RunningStatement running(*this);

    const bool ownTransaction = m_transaction == 'I';
    if (ownTransaction) RunEngine(m_connection, "BEGIN");
    uint64_t inserted = 0;
    try {
        std::unique_ptr<BatchInserter> inserter = MakeBatchInserter(*stream, command);
        for (;;) {
            ThrowIfCancelled();
            if (m_stopping || ClientGone()) throw ConnectionLost("the client left during INSERT BULK");
            std::unique_ptr<StreamBatch> batch;
            auto popped = stream->Pop(batch, kStreamPollInterval);
            if (popped == ExternalStream::PopResult::Timeout) continue;
            if (popped == ExternalStream::PopResult::Ended) break;
            if (popped == ExternalStream::PopResult::Dropped)
                throw SqlError("55000", "The external stream \"" + stream->DisplayName() +
                                            "\" was dropped before it was closed.");
            try {
                inserted += inserter->Insert(*batch);
            } catch (const SqlError&) {
                // A cancel interrupts the engine, whose error then says less than this.
                ThrowIfCancelled();
                throw;
            }
            ThrowIfCancelled();
        }
        inserter->Finish();
        inserter.reset();
        if (ownTransaction) CommitOwnTransaction();
    } catch (...) {
        running.End();
        AbandonWrites(ownTransaction);
        throw;
    }
    finished = true;
    m_writer.CommandComplete("INSERT 0 " + std::to_string(inserted));
}

namespace {

// The select list takes the stream's columns as they are: batches go straight
// into the target through the appender.
class DirectInserter : public BatchInserter {
public:
    explicit DirectInserter(std::unique_ptr<EngineAppender> appender) : m_appender(std::move(appender)) {}
    uint64_t Insert(const StreamBatch& batch) override {
        for (duckdb_data_chunk chunk : batch.Chunks()) m_appender->Append(chunk);
        m_appender->Flush();
        return batch.Rows();
    }
    void Finish() override { m_appender->Close(); }

private:
    std::unique_ptr<EngineAppender> m_appender;
};

// Any other select list: each batch is staged in a temporary table of the
// stream's shape and inserted from there with the caller's expressions.
class StagedInserter : public BatchInserter {
public:
    StagedInserter(duckdb_connection connection, std::string staging, duckdb_prepared_statement insert)
        : m_connection(connection), m_staging(std::move(staging)), m_insert(insert) {}
    ~StagedInserter() override {
        duckdb_destroy_prepare(&m_insert);
        try {
            RunEngine(m_connection, "DROP TABLE IF EXISTS \"temp\".\"main\"." + QuoteIdentifier(m_staging));
        } catch (...) {
            // an aborted transaction drops it with its rollback
        }
    }
    uint64_t Insert(const StreamBatch& batch) override {
        {
            EngineAppender appender(m_connection, "temp", "main", m_staging);
            for (duckdb_data_chunk chunk : batch.Chunks()) appender.Append(chunk);
            appender.Close();
        }
        duckdb_result result;
        if (duckdb_execute_prepared(m_insert, &result) == DuckDBError) {
            ErrorFields e = EngineErrorFields(duckdb_result_error(&result) ? duckdb_result_error(&result) : "");
            duckdb_destroy_result(&result);
            throw SqlError(e.sqlstate, e.message, e.hint);
        }
        auto rows = static_cast<uint64_t>(duckdb_value_int64(&result, 0, 0));
        duckdb_destroy_result(&result);
        RunEngine(m_connection, "DELETE FROM \"temp\".\"main\"." + QuoteIdentifier(m_staging));
        return rows;
    }
    void Finish() override {}

private:
    duckdb_connection m_connection;
    std::string m_staging;
    duckdb_prepared_statement m_insert;
};

bool SameCellType(const CopyColumn& c, duckdb_logical_type type) {
    if (duckdb_get_type_id(type) != c.type) return false;
    return c.type != DUCKDB_TYPE_DECIMAL || (duckdb_decimal_width(type) == c.width && duckdb_decimal_scale(type) == c.scale);
}

}  // namespace

std::unique_ptr<BatchInserter> Session::MakeBatchInserter(const ExternalStream& stream,
                                                          const InsertBulkCommand& command) {
    const auto& columns = stream.Columns();
    if (SelectsStreamColumns(command.selectList, columns)) {
        LoadTarget target = ResolveLoadTarget(command.target);
        auto appender = std::make_unique<EngineAppender>(m_connection, target.catalog, target.schema, target.table);
        for (const auto& name : command.columns) appender->AddColumn(name);
        bool same = appender->ColumnCount() == columns.size();
        for (size_t i = 0; same && i < columns.size(); ++i) {
            duckdb_logical_type type = appender->ColumnType(i);
            same = SameCellType(columns[i], type);
            duckdb_destroy_logical_type(&type);
        }
        if (same) return std::make_unique<DirectInserter>(std::move(appender));
    }
    static std::atomic<unsigned> counter{0};
    std::string staging = "kelvod_stream_" + std::to_string(m_pid) + "_" + std::to_string(counter++);
    std::string definition;
    for (const auto& c : columns)
        definition += (definition.empty() ? "" : ", ") + QuoteIdentifier(c.name) + " " + EngineTypeSql(c);
    RunEngine(m_connection, "CREATE TEMPORARY TABLE " + QuoteIdentifier(staging) + " (" + definition + ")");
    std::string names;
    for (const auto& c : command.columns) names += (names.empty() ? "" : ", ") + QuoteIdentifier(c);
    std::string text = "INSERT INTO " + QuotedName(command.target) + (names.empty() ? "" : " (" + names + ")") +
                       " SELECT " + command.selectList.ToEngineText() + " FROM \"temp\".\"main\"." +
                       QuoteIdentifier(staging);
    auto statements = SplitStatements(text);
    std::string engineText = RewriteForEngine(statements.front(), m_connection, Names());
    duckdb_prepared_statement insert = nullptr;
    if (duckdb_prepare(m_connection, engineText.c_str(), &insert) == DuckDBError) {
        ErrorFields e = EngineErrorFields(duckdb_prepare_error(insert) ? duckdb_prepare_error(insert) : "");
        duckdb_destroy_prepare(&insert);
        RunEngine(m_connection, "DROP TABLE \"temp\".\"main\"." + QuoteIdentifier(staging));
        throw SqlError(e.sqlstate, e.message, e.hint);
    }
    return std::make_unique<StagedInserter>(m_connection, staging, insert);
}

}  // namespace kelvod

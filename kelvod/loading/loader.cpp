// The loader. COPY FROM STDIN into a table: the session cuts the KLVCPY stream
// into pieces of whole rows while one INSERT ... SELECT FROM kelvod_load_feed(...)
// decodes and stores them on the engine's threads, all in one transaction, so a
// malformed or cancelled stream leaves nothing behind. COPY into an external
// stream: cut the same way, the rows go into the stream as one batch, which the
// stream's INSERT BULK (INSERT ... SELECT <the caller's select list> FROM
// kelvod_load_feed(...)) takes as it comes, again in one transaction.
#include "kelvod/loading/loader.h"

#include <cstdio>
#include <exception>
#include <thread>

#include "kelvod/engine/engine_errors.h"
#include "kelvod/engine/engine_handles.h"
#include "kelvod/loading/engine_appender.h"
#include "kelvod/loading/load_feed.h"
#include "kelvod/loading/row_piece_queue.h"
#include "kelvod/loading/stream_row_source.h"
#include "kelvod/sql/insert_select.h"
#include "kelvod/sql/statement_tokens.h"

namespace kelvod {

namespace {

// A COPY into a stream is held in memory until its batch is queued.
constexpr uint64_t kMaxStreamCopyBytes = 256ull << 20;
// Rows go to the scan threads in pieces of about this size, and at most this
// many bytes of them wait for a thread: with the threads' own pieces and row
// groups, this bounds what a load holds.
constexpr size_t kPieceBytes = 1u << 20;
constexpr uint64_t kQueueBytes = 16ull << 20;
// How long a COPY waits for room in a full stream that is being read before it is refused.
constexpr auto kStreamAdmissionWait = std::chrono::milliseconds(250);

std::string QuotedName(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : ".") + QuoteIdentifier(p);
    return out;
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : ".") + p;
    return out;
}

// The statement ended while the COPY still sent rows; its own error tells why.
struct FeedingStatementEnded {};

// The cell layout of a declared stream column, from the engine type the declaration maps to.
CopyColumn StreamColumn(const ColumnDefinition& d) {
    CopyColumn c;
    c.name = d.name;
    c.nullable = !d.notNull;
    const std::string& e = d.type.engineType;
    if (e == "BOOLEAN") {
        c.type = DUCKDB_TYPE_BOOLEAN;
    } else if (e == "BIGINT") {
        c.type = DUCKDB_TYPE_BIGINT;
    } else if (e == "SMALLINT") {
        c.type = DUCKDB_TYPE_SMALLINT;
    } else if (e == "INTEGER") {
        c.type = DUCKDB_TYPE_INTEGER;
    } else if (e == "UINTEGER") {
        c.type = DUCKDB_TYPE_UINTEGER;
    } else if (e == "DOUBLE") {
        c.type = DUCKDB_TYPE_DOUBLE;
    } else if (e == "BLOB") {
        c.type = DUCKDB_TYPE_BLOB;
    } else if (e == "DATE") {
        c.type = DUCKDB_TYPE_DATE;
    } else if (e == "INTERVAL") {
        c.type = DUCKDB_TYPE_INTERVAL;
    } else if (e == "TIME") {
        c.type = DUCKDB_TYPE_TIME;
    } else if (e == "TIMESTAMP") {
        c.type = DUCKDB_TYPE_TIMESTAMP;
    } else if (e == "TIMESTAMPTZ") {
        c.type = DUCKDB_TYPE_TIMESTAMP_TZ;
    } else if (e.rfind("DECIMAL(", 0) == 0) {
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
    if (t.size() == 1 && t[0]->kind == Token::Kind::Symbol && t[0]->text == "*")
        return true;
    size_t k = 0;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) {
            if (k >= t.size() || t[k]->kind != Token::Kind::Symbol || t[k]->text != ",")
                return false;
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

void Loader::CommitOwnTransaction() {
    try {
        RunEngine(m_context.Connection(), "COMMIT");
    } catch (const EngineError& e) {
        if (!CommittedDespite(e))
            throw;
        ErrorFields f;
        f.severity = "WARNING";
        f.sqlstate = e.sqlstate;
        f.message = e.what();
        m_context.Writer().Notice(f);
        m_context.EndBlock();
        m_commands.RecoverInvalidated(e);
    }
}

void Loader::AbandonWrites(bool ownTransaction) {
    try {
        if (ownTransaction) {
            RunEngine(m_context.Connection(), "ROLLBACK");
        } else {
            // Rows already handed to the engine must not reach a COMMIT of the
            // caller's transaction block: a failed statement aborts the engine's
            // transaction, as it does in PostgreSQL, so only ROLLBACK remains.
            RunEngine(m_context.Connection(), "SELECT error('The transaction is aborted by a failed load.')");
        }
    } catch (...) {
    }
}

void Loader::ReceiveCopyData(KlvcpyRowCutter& cutter, uint64_t maxBytes) {
    uint64_t received = 0;
    for (;;) {
        m_context.ThrowIfCancelled();
        if (auto data = m_context.Reader().TakeCopyData()) {
            received += data->size();
            if (received > maxBytes) {
                throw SqlError("54000", "The COPY data exceeds " + std::to_string(maxBytes) + " bytes.",
                               "Send the rows in several smaller COPY statements.");
            }
            cutter.Feed(data->data(), data->size());
            continue;
        }
        auto request = m_context.Reader().TakeRequest();
        if (!request) {
            if (!m_context.ReadBulk())
                throw ConnectionLost("the client left during COPY FROM STDIN");
            continue;
        }
        if (auto* copy = std::get_if<CopyMessage>(&*request)) {
            if (copy->type == 'c') {
                cutter.Finish();
                return;
            }
            throw SqlError("57014", "COPY from stdin failed: " + copy->data);
        }
        if (std::holds_alternative<TerminateMessage>(*request))
            throw ConnectionLost("the client ended the session during COPY");
        // As in PostgreSQL, Flush and Sync mean nothing inside a COPY.
        if (std::holds_alternative<FlushMessage>(*request) || std::holds_alternative<SyncMessage>(*request))
            continue;
        throw SqlError("08P01", "Unexpected message during COPY FROM STDIN.",
                       "Only CopyData, CopyDone and CopyFail may follow the CopyInResponse.");
    }
}

Loader::LoadTarget Loader::ResolveLoadTarget(const std::vector<std::string>& t) {
    // Where the table lies: temporary tables first, then the session's databases and search path.
    SessionNames names = m_context.Names();
    LoadTarget target;
    if (t.size() == 3) {
        // The alias as the engine spells it, which the catalog functions compare exactly.
        std::string database;
        for (const auto& d : m_context.Databases()) {
            if (database.empty() && EqualsFolded(d, t[0]))
                database = d;
        }
        if (database.empty())
            throw SqlError("3F000", "The database \"" + t[0] + "\" is not attached to this session.");
        if (t[1] == kTempSchema) {
            target = {"temp", "main", t[2]};
        } else {
            target = {database, t[1], t[2]};
        }
    } else if (t.size() == 2) {
        if (t[0] == kTempSchema) {
            target = {"temp", "main", t[1]};
        } else if (auto db = ResolveSchema(m_context.Connection(), names, t[0])) {
            target = {*db, t[0], t[1]};
        } else {
            throw SqlError("3F000", "The schema \"" + t[0] + "\" does not exist.");
        }
    } else {
        auto where = ResolveTable(m_context.Connection(), names, t[0]);
        if (!where)
            throw SqlError("42P01", "The table \"" + t[0] + "\" does not exist.");
        if (where->second == kTempSchema) {
            target = {"temp", "main", t[0]};
        } else {
            target = {where->first, where->second, t[0]};
        }
    }
    return target;
}

void Loader::CopyFromStdin(const CopyFromStdinCommand& command) {
    if (auto stream = FindStream(command.target)) {
        CopyIntoStream(*stream, command);
    } else {
        CopyIntoTable(command);
    }
}

void Loader::CopyIntoTable(const CopyFromStdinCommand& command) {
    const auto& t = command.target;
    LoadTarget target = ResolveLoadTarget(t);
    auto columnRows = QueryText(m_context.Connection(),
                                "SELECT column_name, is_nullable FROM duckdb_columns() WHERE "
                                "database_name = " +
                                    QuoteLiteral(target.catalog) + " AND schema_name = " + QuoteLiteral(target.schema) +
                                    " AND table_name = " + QuoteLiteral(target.table) + " ORDER BY column_index");
    if (columnRows.empty())
        throw SqlError("42P01", "The table \"" + Joined(t) + "\" does not exist.");

    const bool ownTransaction = m_context.Transaction() == TransactionStatus::Idle;
    InsertionOrderFree orderFree(m_context.Connection(), ownTransaction);
    if (ownTransaction)
        RunEngine(m_context.Connection(), "BEGIN");
    // A cancel request reaches the load while its data comes in: it interrupts
    // the engine's statement and ends the receiving.
    SessionContext::RunningStatement running(m_context);
    const uint64_t rows = RunLoad(running, ownTransaction, [&] { return LoadIntoTable(target, command, columnRows); });
    m_context.Writer().CommandComplete("COPY " + std::to_string(rows));
}

template <typename Load>
uint64_t Loader::RunLoad(SessionContext::RunningStatement& running, bool ownTransaction, Load&& load) {
    try {
        uint64_t rows = 0;
        try {
            rows = load();
        } catch (const SqlError&) {
            // A cancel interrupts the engine, whose error then says less than this.
            m_context.ThrowIfCancelled();
            throw;
        }
        // The rows are all in: the COMMIT runs whole, whatever comes now.
        m_context.ThrowIfCancelled();
        running.End();
        if (ownTransaction)
            CommitOwnTransaction();
        return rows;
    } catch (...) {
        running.End();
        AbandonWrites(ownTransaction);
        throw;
    }
}

uint64_t Loader::LoadIntoTable(const LoadTarget& target, const CopyFromStdinCommand& command,
                               const std::vector<Row>& columnRows) {
    std::vector<CopyColumn> copyColumns = DescribeLoadColumns(target, command.columns, columnRows);
    std::string names;
    for (const auto& c : copyColumns)
        names += (names.empty() ? "" : ", ") + QuoteIdentifier(c.name);
    RowPieceQueue queue(kQueueBytes);
    // The scan threads check the values as they decode them: their errors end this statement.
    auto feed = std::make_shared<LoadFeed>(copyColumns, queue, false);
    LoadFeedRegistration registration(feed, m_context.Connection());
    const std::string text = "INSERT INTO " + QuotedName({target.catalog, target.schema, target.table}) + " (" + names +
                             ") SELECT * FROM " + registration.Call();
    m_context.Writer().CopyInResponse(static_cast<int16_t>(copyColumns.size()));
    m_context.Flush();
    KlvcpyRowCutter cutter(copyColumns, kPieceBytes, false, [&](RowPiece&& piece) {
        if (!queue.Push(std::move(piece)))
            throw FeedingStatementEnded{};
    });
    // The statement runs on a thread of its own while this one receives;
    // nothing else uses the engine connection until it is joined.
    std::exception_ptr failure;
    std::thread statement([&] {
        try {
            RunFeedingInsert(m_context.Connection(), text, *feed);
        } catch (...) {
            failure = std::current_exception();
        }
        queue.ReaderEnded();
    });
    try {
        ReceiveCopyData(cutter, UINT64_MAX);
        queue.Close();
    } catch (const FeedingStatementEnded&) {
        statement.join();
        if (failure)
            std::rethrow_exception(failure);
        throw SqlError("XX000", "The load ended before its data did.");
    } catch (...) {
        queue.Abort();
        statement.join();
        throw;
    }
    statement.join();
    if (failure)
        std::rethrow_exception(failure);
    return cutter.Rows();
}

std::vector<CopyColumn> Loader::DescribeLoadColumns(const LoadTarget& target, const std::vector<std::string>& named,
                                                    const std::vector<Row>& columnRows) {
    // The appender knows the engine types of the columns; it only describes them here.
    EngineAppender appender(m_context.Connection(), target.catalog, target.schema, target.table);
    std::vector<std::pair<std::string, bool>> columns;  // name, nullable
    if (named.empty()) {
        for (const auto& r : columnRows)
            columns.emplace_back(r[0].value_or(""), r[1] != std::string("false"));
    } else {
        for (const auto& name : named) {
            const Row* found = nullptr;
            for (const auto& r : columnRows) {
                if (!found && EqualsFolded(r[0].value_or(""), name))
                    found = &r;
            }
            if (!found) {
                throw SqlError("42703",
                               "The column \"" + name + "\" of the table \"" + target.table + "\" does not exist.");
            }
            for (const auto& c : columns) {
                if (EqualsFolded(c.first, name))
                    throw SqlError("42701", "The column \"" + name + "\" is named twice.");
            }
            columns.emplace_back((*found)[0].value_or(""), (*found)[1] != std::string("false"));
            appender.AddColumn(columns.back().first);
        }
    }
    std::vector<CopyColumn> copyColumns;
    for (size_t i = 0; i < columns.size(); ++i) {
        LogicalTypeHandle type(appender.ColumnType(i));
        copyColumns.push_back(DescribeCopyColumn(columns[i].first, type.Get(), columns[i].second));
    }
    return copyColumns;
}

void Loader::CopyIntoStream(ExternalStream& stream, const CopyFromStdinCommand& command) {
    if (!command.columns.empty()) {
        bool same = command.columns.size() == stream.Columns().size();
        for (size_t i = 0; same && i < command.columns.size(); ++i)
            same = EqualsFolded(command.columns[i], stream.Columns()[i].name);
        if (!same) {
            throw SqlError("0A000", "A COPY into the external stream \"" + stream.DisplayName() +
                                        "\" carries all of its columns in their order.");
        }
    }
    auto refuse = [&](ExternalStream::PushResult r) {
        switch (r) {
            case ExternalStream::PushResult::Full:
                throw SqlError("53400", "The external stream \"" + stream.DisplayName() + "\" is full.",
                               "Send the data again once the insertion has caught up.");
            case ExternalStream::PushResult::Closed:
                throw SqlError("55000", "The external stream \"" + stream.DisplayName() + "\" is closed.");
            case ExternalStream::PushResult::Abandoned:
                throw SqlError("55000", "The external stream \"" + stream.DisplayName() + "\" is no longer read.",
                               "The statement that read it has ended; look at its error.");
            case ExternalStream::PushResult::Queued:
                return;
        }
    };
    // A full stream refuses the COPY before its data travels.
    refuse(stream.Admission(kStreamAdmissionWait));
    auto batch = std::make_unique<StreamBatch>();
    // Bad values fail this COPY, as the client expects of the chunk it sent,
    // rather than the INSERT BULK that decodes the rows later.
    KlvcpyRowCutter cutter(stream.Columns(), kPieceBytes, true,
                           [&](RowPiece&& piece) { batch->Add(std::move(piece)); });
    m_context.Writer().CopyInResponse(static_cast<int16_t>(stream.Columns().size()));
    m_context.Flush();
    ReceiveCopyData(cutter, kMaxStreamCopyBytes);
    uint64_t rows = cutter.Rows();
    refuse(stream.Push(batch));
    m_context.Writer().CommandComplete("COPY " + std::to_string(rows));
}

StreamRegistry::Key Loader::StreamKey(const std::vector<std::string>& name) const {
    std::string first = m_context.Databases().empty() ? "" : m_context.Databases().front();
    if (name.size() == 3) {
        bool attached = false;
        for (const auto& d : m_context.Databases())
            attached |= StreamRegistry::MakeKey(d, "", "") == StreamRegistry::MakeKey(name[0], "", "");
        if (!attached)
            throw SqlError("3F000", "The database \"" + name[0] + "\" is not attached to this session.");
        return StreamRegistry::MakeKey(name[0], name[1], name[2]);
    }
    if (name.size() == 2)
        return StreamRegistry::MakeKey(first, name[0], name[1]);
    // An unqualified stream lives in the first database's "public" schema, or in
    // "main" for a database file that has no "public".
    std::string schema = "public";
    if (!first.empty() && QueryText(m_context.Connection(), "SELECT 1 FROM duckdb_schemas() WHERE database_name = " +
                                                                QuoteLiteral(first) + " AND schema_name = 'public'")
                              .empty())
        schema = "main";
    return StreamRegistry::MakeKey(first, schema, name[0]);
}

std::shared_ptr<ExternalStream> Loader::FindStream(const std::vector<std::string>& name) const {
    return m_context.Server().Streams().Find(StreamKey(name));
}

std::shared_ptr<ExternalStream> Loader::ExistingStream(const std::vector<std::string>& name) const {
    if (auto stream = FindStream(name))
        return stream;
    throw StreamMissing(name);
}

SqlError Loader::StreamMissing(const std::vector<std::string>& name) {
    return SqlError("42P01", "The external stream \"" + Joined(name) + "\" does not exist.");
}

void Loader::CreateStream(const CreateStreamCommand& command) {
    std::vector<CopyColumn> columns;
    for (const auto& d : command.columns)
        columns.push_back(StreamColumn(d));
    auto key = StreamKey(command.name);
    const std::string& database = std::get<0>(key);
    if (!database.empty() &&
        QueryText(m_context.Connection(),
                  "SELECT 1 FROM duckdb_schemas() WHERE lower(database_name) = " + QuoteLiteral(database) +
                      " AND schema_name = " + QuoteLiteral(std::get<1>(key)))
            .empty())
        throw SqlError("3F000", "The schema \"" + std::get<1>(key) + "\" does not exist.");
    auto stream = std::make_shared<ExternalStream>(Joined(command.name), std::move(columns), m_context.Pid());
    auto added = m_context.Server().Streams().Add(key, stream);
    if (added == StreamRegistry::AddResult::Added)
        return;
    if (added == StreamRegistry::AddResult::TooMany) {
        throw SqlError("54000", "The server holds " + std::to_string(kMaxStreams) + " external streams already.",
                       "Drop streams that are no longer used.");
    }
    if (command.ifNotExists) {
        m_context.Notice("42P07", "The external stream \"" + Joined(command.name) + "\" already exists, skipping.");
        return;
    }
    throw SqlError("42P07", "The external stream \"" + Joined(command.name) + "\" already exists.");
}

void Loader::CloseStream(const CloseStreamCommand& command) { ExistingStream(command.name)->Close(); }

void Loader::DropStream(const DropStreamCommand& command) {
    if (m_context.Server().Streams().Remove(StreamKey(command.name)))
        return;
    if (command.ifExists) {
        m_context.Notice("00000", "The external stream \"" + Joined(command.name) + "\" does not exist, skipping.");
        return;
    }
    throw StreamMissing(command.name);
}

void Loader::InsertFromStream(const InsertBulkCommand& command) {
    auto stream = ExistingStream(command.stream);
    if (!stream->AttachReader())
        throw SqlError("55006", "The external stream \"" + stream->DisplayName() + "\" is read by another statement.");
    bool finished = false;
    struct ReaderGuard {
        ExternalStream& stream;
        bool& finished;
        ~ReaderGuard() { stream.DetachReader(finished); }
    } readerGuard{*stream, finished};

    // Cancel requests reach this statement while it waits for batches.
    SessionContext::RunningStatement running(m_context);

    const bool ownTransaction = m_context.Transaction() == TransactionStatus::Idle;
    InsertionOrderFree orderFree(m_context.Connection(), ownTransaction);
    if (ownTransaction)
        RunEngine(m_context.Connection(), "BEGIN");
    const uint64_t inserted = RunLoad(running, ownTransaction, [&] {
        StreamRowSource source(*stream, [this] {
            m_context.ThrowIfCancelled();
            if (m_context.Stopping() || m_context.ClientGone())
                throw ConnectionLost("the client left during INSERT BULK");
        });
        auto feed = std::make_shared<LoadFeed>(stream->Columns(), source, true);
        LoadFeedRegistration registration(feed, m_context.Connection());
        // The select list reads the stream's columns by their names; the engine
        // casts what it selects to the target's columns.
        std::string names;
        for (const auto& c : command.columns)
            names += (names.empty() ? "" : ", ") + QuoteIdentifier(c);
        const bool asTheyAre = SelectsStreamColumns(command.selectList, stream->Columns());
        std::string text;
        if (asTheyAre) {
            LoadTarget target = ResolveLoadTarget(command.target);
            text = "INSERT INTO " + QuotedName({target.catalog, target.schema, target.table}) +
                   (names.empty() ? "" : " (" + names + ")") + " SELECT * FROM " + registration.Call();
        } else {
            // Only what the client wrote is rewritten (and judged): clients may not call the feed.
            Statement insert =
                WithNulCharactersRefused(InsertSelectStatement(command.target, command.columns, command.selectList));
            text =
                RewriteForEngine(insert, m_context.Connection(), m_context.Names()) + "\nFROM " + registration.Call();
        }
        return RunFeedingInsert(m_context.Connection(), text, *feed);
    });
    finished = true;
    m_context.Writer().CommandComplete("INSERT 0 " + std::to_string(inserted));
}

}  // namespace kelvod

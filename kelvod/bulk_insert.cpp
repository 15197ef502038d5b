// External streams and INSERT BULK. The reading statement is one INSERT ...
// SELECT <the caller's select list> FROM kelvod_load_feed(...), whose scan
// threads take the pieces of the stream's batches as they come and decode
// them. It is one transaction: a failed or cancelled insertion leaves the
// table as it was.
#include <poll.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <functional>
#include <mutex>

#include "kelvod/engine_errors.h"
#include "kelvod/load_feed.h"
#include "kelvod/session.h"

namespace kelvod {

namespace {

constexpr auto kStreamPollInterval = std::chrono::milliseconds(100);

std::string Joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : ".") + p;
    return out;
}

std::string QuotedName(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : ".") + QuoteIdentifier(p);
    return out;
}

// The cell layout of a declared stream column, from the engine type the declaration maps to.
CopyColumn StreamColumn(const ColumnDefinition& d) {
    CopyColumn c;
    c.name = d.name;
    c.nullable = !d.notNull;
    const std::string& e = d.type.engineType;
    if (e == "BOOLEAN")
        c.type = DUCKDB_TYPE_BOOLEAN;
    else if (e == "BIGINT")
        c.type = DUCKDB_TYPE_BIGINT;
    else if (e == "SMALLINT")
        c.type = DUCKDB_TYPE_SMALLINT;
    else if (e == "INTEGER")
        c.type = DUCKDB_TYPE_INTEGER;
    else if (e == "UINTEGER")
        c.type = DUCKDB_TYPE_UINTEGER;
    else if (e == "DOUBLE")
        c.type = DUCKDB_TYPE_DOUBLE;
    else if (e == "BLOB")
        c.type = DUCKDB_TYPE_BLOB;
    else if (e == "DATE")
        c.type = DUCKDB_TYPE_DATE;
    else if (e == "INTERVAL")
        c.type = DUCKDB_TYPE_INTERVAL;
    else if (e == "TIME")
        c.type = DUCKDB_TYPE_TIME;
    else if (e == "TIMESTAMP")
        c.type = DUCKDB_TYPE_TIMESTAMP;
    else if (e == "TIMESTAMPTZ")
        c.type = DUCKDB_TYPE_TIMESTAMP_TZ;
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

bool Session::ClientGone() const {
    pollfd p{m_fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

StreamRegistry::Key Session::StreamKey(const std::vector<std::string>& name) const {
    std::string first = m_databases.empty() ? "" : m_databases.front();
    if (name.size() == 3) {
        bool attached = false;
        for (const auto& d : m_databases)
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
    if (!first.empty() && QueryText(m_connection, "SELECT 1 FROM duckdb_schemas() WHERE database_name = " +
                                                      QuoteLiteral(first) + " AND schema_name = 'public'")
                              .empty())
        schema = "main";
    return StreamRegistry::MakeKey(first, schema, name[0]);
}

std::shared_ptr<ExternalStream> Session::FindStream(const std::vector<std::string>& name) const {
    return m_server.Streams().Find(StreamKey(name));
}

void Session::CreateStream(const CreateStreamCommand& command) {
    std::vector<CopyColumn> columns;
    for (const auto& d : command.columns)
        columns.push_back(StreamColumn(d));
    auto key = StreamKey(command.name);
    const std::string& database = std::get<0>(key);
    if (!database.empty() &&
        QueryText(m_connection, "SELECT 1 FROM duckdb_schemas() WHERE lower(database_name) = " +
                                    QuoteLiteral(database) + " AND schema_name = " + QuoteLiteral(std::get<1>(key)))
            .empty())
        throw SqlError("3F000", "The schema \"" + std::get<1>(key) + "\" does not exist.");
    auto stream = std::make_shared<ExternalStream>(Joined(command.name), std::move(columns), m_pid);
    auto added = m_server.Streams().Add(key, stream);
    if (added == StreamRegistry::AddResult::Added)
        return;
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
    if (!stream)
        throw SqlError("42P01", "The external stream \"" + Joined(command.name) + "\" does not exist.");
    stream->Close();
}

void Session::DropStream(const DropStreamCommand& command) {
    if (m_server.Streams().Remove(StreamKey(command.name)))
        return;
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
    for (const auto& c : command.columns)
        columns += (columns.empty() ? "" : ", ") + QuoteIdentifier(c);
    std::string text = "INSERT INTO " + QuotedName(command.target) + (columns.empty() ? "" : " (" + columns + ")") +
                       " SELECT " + command.selectList.ToEngineText();
    auto statements = SplitStatements(text);
    RunEngineStatement(statements.front(), RewriteForEngine(statements.front(), m_connection, Names()), {}, false, {});
}

namespace {

// The pieces of a stream's batches, for the scan threads of its INSERT BULK.
// One thread at a time waits for the next batch; while it waits it looks for a
// cancel, a client that hung up or a server that stops.
class StreamRowSource : public RowSource {
public:
    StreamRowSource(ExternalStream& stream, std::function<void()> throwIfStopped)
        : m_stream(stream), m_throwIfStopped(std::move(throwIfStopped)) {}
    bool Next(RowPiece& piece) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_ended)
                return false;
            if (m_batch && m_next < m_batch->pieces.size()) {
                piece = std::move(m_batch->pieces[m_next++]);
                return true;
            }
            m_batch.reset();
            m_next = 0;
            try {
                m_throwIfStopped();
                auto popped = m_stream.Pop(m_batch, kStreamPollInterval);
                if (popped == ExternalStream::PopResult::Timeout)
                    continue;
                if (popped == ExternalStream::PopResult::Ended) {
                    m_ended = true;
                    return false;
                }
                if (popped == ExternalStream::PopResult::Dropped)
                    throw SqlError("55000", "The external stream \"" + m_stream.DisplayName() +
                                                "\" was dropped before it was closed.");
            } catch (...) {
                // The other scan threads end quietly; this one's error ends the statement.
                m_ended = true;
                throw;
            }
        }
    }

private:
    ExternalStream& m_stream;
    std::function<void()> m_throwIfStopped;
    std::mutex m_mutex;
    std::unique_ptr<StreamBatch> m_batch;
    size_t m_next = 0;
    bool m_ended = false;
};

}  // namespace

void Session::InsertFromStream(const InsertBulkCommand& command) {
    auto stream = FindStream(command.stream);
    if (!stream)
        throw SqlError("42P01", "The external stream \"" + Joined(command.stream) + "\" does not exist.");
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

    const bool ownTransaction = m_transaction == kIdle;
    LoadMemoryLimit memoryLimit(m_connection, ownTransaction);
    InsertionOrderFree orderFree(m_connection, ownTransaction);
    if (ownTransaction)
        RunEngine(m_connection, "BEGIN");
    uint64_t inserted = 0;
    try {
        StreamRowSource source(*stream, [this] {
            ThrowIfCancelled();
            if (m_stopping || ClientGone())
                throw ConnectionLost("the client left during INSERT BULK");
        });
        auto feed = std::make_shared<LoadFeed>(stream->Columns(), source, true);
        LoadFeedRegistration registration(feed);
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
            auto statements = SplitStatements("INSERT INTO " + QuotedName(command.target) +
                                              (names.empty() ? "" : " (" + names + ")") + " SELECT " +
                                              command.selectList.ToEngineText() + " FROM " + registration.Call());
            text = RewriteForEngine(statements.front(), m_connection, Names());
        }
        try {
            inserted = RunFeedingInsert(m_connection, text, *feed);
        } catch (const SqlError&) {
            // A cancel interrupts the engine, whose error then says less than this.
            ThrowIfCancelled();
            throw;
        }
        ThrowIfCancelled();
        if (ownTransaction)
            CommitOwnTransaction();
    } catch (...) {
        running.End();
        AbandonWrites(ownTransaction);
        throw;
    }
    finished = true;
    m_writer.CommandComplete("INSERT 0 " + std::to_string(inserted));
}

}  // namespace kelvod

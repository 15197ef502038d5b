// COPY ... FROM STDIN WITH (FORMAT KELVOBINARY): the session cuts the KLVCPY
// stream into pieces of whole rows while one INSERT ... SELECT FROM
// kelvod_load_feed(...) decodes and stores them on the engine's threads, all in
// one transaction, so a malformed stream leaves nothing behind; or, cut the
// same way, the rows go into an external stream as one batch.
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <thread>

#include "kelvod/engine_appender.h"
#include "kelvod/engine_errors.h"
#include "kelvod/klvcpy_decoder.h"
#include "kelvod/load_feed.h"
#include "kelvod/row_piece_queue.h"
#include "kelvod/session.h"

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
// One receive takes whatever the socket holds, up to this: a little more than
// a socket buffer, since the room is cleared before each receive.
constexpr size_t kReceiveBytes = 256u << 10;

std::string QuotedName(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : ".") + QuoteIdentifier(p);
    return out;
}

// The statement ended while the COPY still sent rows; its own error tells why.
struct FeedingStatementEnded {};

std::string Joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : ".") + p;
    return out;
}

}  // namespace

void Session::AbandonWrites(bool ownTransaction) {
    try {
        if (ownTransaction) {
            RunEngine(m_connection, "ROLLBACK");
        } else {
            // Rows already handed to the engine must not reach a COMMIT of the
            // caller's transaction block: a failed statement aborts the engine's
            // transaction, as it does in PostgreSQL, so only ROLLBACK remains.
            RunEngine(m_connection, "SELECT error('The transaction is aborted by a failed load.')");
        }
    } catch (...) {
    }
}

bool Session::ReceiveCopyBytes() {
    // Reads straight into the reader, and polls only when the socket is empty.
    for (;;) {
        if (m_stopping)
            return false;
        char* space = m_reader.Space(kReceiveBytes);
        ssize_t n = ::recv(m_fd, space, kReceiveBytes, MSG_DONTWAIT);
        m_reader.Received(n > 0 ? static_cast<size_t>(n) : 0);
        if (n > 0) {
            // As in ReadMore: bytes waiting for the rest of their message count against the bound for all sessions.
            uint64_t pending = m_reader.Buffered();
            if (!m_server.ChangePendingInput(m_pendingInput, pending))
                throw ProtocolError("53200", "out of memory: the server holds too much partly received input");
            m_pendingInput = pending;
            return true;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 250) < 0 && errno != EINTR)
            return false;
    }
}

void Session::ReceiveCopyData(KlvcpyRowCutter& cutter, uint64_t maxBytes) {
    uint64_t received = 0;
    for (;;) {
        if (auto data = m_reader.TakeCopyData()) {
            received += data->size();
            if (received > maxBytes)
                throw SqlError("54000", "The COPY data exceeds " + std::to_string(maxBytes) + " bytes.",
                               "Send the rows in several smaller COPY statements.");
            cutter.Feed(data->data(), data->size());
            continue;
        }
        auto request = m_reader.TakeRequest();
        if (!request) {
            if (!ReceiveCopyBytes())
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

Session::LoadTarget Session::ResolveLoadTarget(const std::vector<std::string>& t) {
    // Where the table lies: temporary tables first, then the session's databases and search path.
    SessionNames names = Names();
    LoadTarget target;
    if (t.size() == 3) {
        // The alias as the engine spells it, which the catalog functions compare exactly.
        std::string database;
        for (const auto& d : m_databases)
            if (database.empty() && EqualsFolded(d, t[0]))
                database = d;
        if (database.empty())
            throw SqlError("3F000", "The database \"" + t[0] + "\" is not attached to this session.");
        if (t[1] == kTempSchema)
            target = {"temp", "main", t[2]};
        else
            target = {database, t[1], t[2]};
    } else if (t.size() == 2) {
        if (t[0] == kTempSchema)
            target = {"temp", "main", t[1]};
        else if (auto db = ResolveSchema(m_connection, names, t[0]))
            target = {*db, t[0], t[1]};
        else
            throw SqlError("3F000", "The schema \"" + t[0] + "\" does not exist.");
    } else {
        auto where = ResolveTable(m_connection, names, t[0]);
        if (!where)
            throw SqlError("42P01", "The table \"" + t[0] + "\" does not exist.");
        if (where->second == kTempSchema)
            target = {"temp", "main", t[0]};
        else
            target = {where->first, where->second, t[0]};
    }
    return target;
}

void Session::CopyFromStdin(const CopyFromStdinCommand& command) {
    if (!m_inSimpleQuery)
        throw SqlError("0A000", "COPY FROM STDIN can be run only as a simple query.");
    if (auto stream = FindStream(command.target)) {
        CopyIntoStream(*stream, command);
        return;
    }
    const auto& t = command.target;
    LoadTarget target = ResolveLoadTarget(t);
    auto columnRows = QueryText(m_connection,
                                "SELECT column_name, is_nullable FROM duckdb_columns() WHERE "
                                "database_name = " +
                                    QuoteLiteral(target.catalog) + " AND schema_name = " + QuoteLiteral(target.schema) +
                                    " AND table_name = " + QuoteLiteral(target.table) + " ORDER BY column_index");
    if (columnRows.empty())
        throw SqlError("42P01", "The table \"" + Joined(t) + "\" does not exist.");

    const bool ownTransaction = m_transaction == kIdle;
    LoadMemoryLimit memoryLimit(m_connection, ownTransaction);
    InsertionOrderFree orderFree(m_connection, ownTransaction);
    if (ownTransaction)
        RunEngine(m_connection, "BEGIN");
    try {
        std::vector<CopyColumn> copyColumns = DescribeLoadColumns(target, command.columns, columnRows);
        std::string names;
        for (const auto& c : copyColumns)
            names += (names.empty() ? "" : ", ") + QuoteIdentifier(c.name);
        RowPieceQueue queue(kQueueBytes);
        // The scan threads check the values as they decode them: their errors end this statement.
        auto feed = std::make_shared<LoadFeed>(copyColumns, queue, false);
        LoadFeedRegistration registration(feed);
        const std::string text = "INSERT INTO " + QuotedName({target.catalog, target.schema, target.table}) + " (" +
                                 names + ") SELECT * FROM " + registration.Call();
        m_writer.CopyInResponse(static_cast<int16_t>(copyColumns.size()));
        Flush();
        KlvcpyRowCutter cutter(copyColumns, kPieceBytes, false, [&](RowPiece&& piece) {
            if (!queue.Push(std::move(piece)))
                throw FeedingStatementEnded{};
        });
        // The statement runs on a thread of its own while this one receives;
        // nothing else uses the engine connection until it is joined.
        std::exception_ptr failure;
        std::thread statement([&] {
            try {
                RunFeedingInsert(m_connection, text, *feed);
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
        if (ownTransaction)
            CommitOwnTransaction();
        m_writer.CommandComplete("COPY " + std::to_string(cutter.Rows()));
    } catch (...) {
        AbandonWrites(ownTransaction);
        throw;
    }
}

std::vector<CopyColumn> Session::DescribeLoadColumns(const LoadTarget& target, const std::vector<std::string>& named,
                                                     const std::vector<Row>& columnRows) {
    // The appender knows the engine types of the columns; it only describes them here.
    EngineAppender appender(m_connection, target.catalog, target.schema, target.table);
    std::vector<std::pair<std::string, bool>> columns;  // name, nullable
    if (named.empty()) {
        for (const auto& r : columnRows)
            columns.emplace_back(r[0].value_or(""), r[1] != std::string("false"));
    } else {
        for (const auto& name : named) {
            const Row* found = nullptr;
            for (const auto& r : columnRows)
                if (!found && EqualsFolded(r[0].value_or(""), name))
                    found = &r;
            if (!found)
                throw SqlError("42703",
                               "The column \"" + name + "\" of the table \"" + target.table + "\" does not exist.");
            for (const auto& c : columns)
                if (EqualsFolded(c.first, name))
                    throw SqlError("42701", "The column \"" + name + "\" is named twice.");
            columns.emplace_back((*found)[0].value_or(""), (*found)[1] != std::string("false"));
            appender.AddColumn(columns.back().first);
        }
    }
    std::vector<CopyColumn> copyColumns;
    for (size_t i = 0; i < columns.size(); ++i) {
        duckdb_logical_type type = appender.ColumnType(i);
        try {
            copyColumns.push_back(DescribeCopyColumn(columns[i].first, type, columns[i].second));
        } catch (...) {
            duckdb_destroy_logical_type(&type);
            throw;
        }
        duckdb_destroy_logical_type(&type);
    }
    return copyColumns;
}

void Session::CopyIntoStream(ExternalStream& stream, const CopyFromStdinCommand& command) {
    if (!command.columns.empty()) {
        bool same = command.columns.size() == stream.Columns().size();
        for (size_t i = 0; same && i < command.columns.size(); ++i)
            same = EqualsFolded(command.columns[i], stream.Columns()[i].name);
        if (!same)
            throw SqlError("0A000", "A COPY into the external stream \"" + stream.DisplayName() +
                                        "\" carries all of its columns in their order.");
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
    m_writer.CopyInResponse(static_cast<int16_t>(stream.Columns().size()));
    Flush();
    ReceiveCopyData(cutter, kMaxStreamCopyBytes);
    uint64_t rows = cutter.Rows();
    refuse(stream.Push(batch));
    m_writer.CommandComplete("COPY " + std::to_string(rows));
}

}  // namespace kelvod
